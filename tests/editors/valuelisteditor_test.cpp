#include "valuelisteditor.h"

#include "errorhandler.h"
#include "displaytext.h"
#include "fileio.h"
#include "resourcestring.h"
#include "text8bit.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTimer>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

// Wait-for-condition instead of fixed sleeps: the machine may be busy.
template <class F>
bool WaitFor(F condition, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qWait(5);
    }
    return true;
}

// The page the grid lives on, cut down to the grid and its buttons,
// wired the way the main window wires them.
class GridPage : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetDefaultExceptionHandler([this](std::exception_ptr error) { Record(error); });
        auto *layout = new QVBoxLayout(&window_);
        auto *grid = new TValueListEditor(&window_);
        grid->setFixedSize(306, 300);
        auto *newButton = new QPushButton(QStringLiteral("Neu..."), &window_);
        newButton->setObjectName(QStringLiteral("BitBtn14"));
        auto *deleteButton = new QPushButton(QStringLiteral("Löschen"), &window_);
        deleteButton->setObjectName(QStringLiteral("BitBtn16"));
        auto *saveButton = new QPushButton(QStringLiteral("Konfiguration speichern"), &window_);
        saveButton->setObjectName(QStringLiteral("BitBtn12"));
        layout->addWidget(grid);
        layout->addWidget(newButton);
        layout->addWidget(deleteButton);
        layout->addWidget(saveButton);
        QObject::connect(saveButton, &QPushButton::clicked, grid, [this, grid] {
            ++saves_;
            Guarded([&] { grid->SaveToFile(file_); });
        });
        QObject::connect(newButton, &QPushButton::clicked, grid, [grid] { Guarded([grid] { grid->NewEntry(); }); });
        QObject::connect(deleteButton, &QPushButton::clicked, grid,
                         [grid] { Guarded([grid] { grid->DeleteCurrentEntry(); }); });
        window_.show();
        window_.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
    }

    void TearDown() override { SetDefaultExceptionHandler(nullptr); }

    void Record(std::exception_ptr error)
    {
        try {
            std::rethrow_exception(error);
        } catch (const Exception &e) {
            messages_.push_back(e.Message());
        } catch (const std::exception &e) {
            messages_.push_back(std::string("foreign: ") + e.what());
        }
    }

    TValueListEditor *Grid() { return window_.findChild<TValueListEditor *>(QStringLiteral("ValueListEditor1")); }
    QPushButton *Button(const char *name) { return window_.findChild<QPushButton *>(QString::fromLatin1(name)); }
    Lines Entries() { return Grid()->Strings().Lines(); }

    QLineEdit *Editor()
    {
        for (auto *edit : Grid()->findChildren<QLineEdit *>())
            if (edit->isVisible() && edit->hasFocus())
                return edit;
        return nullptr;
    }
    // Gives the grid the focus and waits until the current cell is open.
    QLineEdit *Open()
    {
        if (!Editor())
            Grid()->setFocus(Qt::OtherFocusReason);
        EXPECT_TRUE(WaitFor([&] { return Editor() != nullptr; }));
        return Editor();
    }
    void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QWidget *target = Open();
        ASSERT_NE(target, nullptr);
        QTest::keyClick(target, key, modifiers);
    }
    // Key events carrying the character, so non-ASCII text types too.
    void Type(const QString &text)
    {
        QLineEdit *editor = Open();
        ASSERT_NE(editor, nullptr);
        for (const QChar ch : text) {
            QKeyEvent press(QEvent::KeyPress, ch.isLetterOrNumber() ? 0 : ch.unicode(), Qt::NoModifier, QString(ch));
            QApplication::sendEvent(Editor() ? Editor() : editor, &press);
        }
    }
    // Replaces the open cell's text by typing, as a user would.
    void Retype(const QString &text)
    {
        QLineEdit *editor = Open();
        ASSERT_NE(editor, nullptr);
        editor->selectAll();
        QTest::keyClick(editor, Qt::Key_Backspace);
        Type(text);
    }
    void Click(const char *button)
    {
        QTest::mouseClick(Button(button), Qt::LeftButton);
        QCoreApplication::processEvents();
    }
    void Load(const std::string &text)
    {
        {
            std::FILE *f = std::fopen(file_.c_str(), "wb");
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
        Grid()->LoadFromFile(file_);
    }
    int Row() { return Grid()->CurrentRow(); }
    int Column() { return Grid()->currentIndex().column(); }
    QString Shown(int row, int column) { return Grid()->model()->index(row, column).data().toString(); }
    void GoTo(int row, int column)
    {
        Grid()->setCurrentIndex(Grid()->model()->index(row, column));
        ASSERT_EQ(Row(), row);
    }

    QWidget window_;
    std::vector<std::string> messages_;
    int saves_ = 0;
    std::string file_ = (fs::temp_directory_path() / ("kz_grid_" + std::to_string(::getpid()) + ".txt")).string();

    ~GridPage() override { fs::remove(file_); }
};

} // namespace

TEST_F(GridPage, LooksLikeTheDesignedGrid)
{
    TValueListEditor *grid = Grid();
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(grid->model()->headerData(0, Qt::Horizontal).toString(), "FMS");
    EXPECT_EQ(grid->model()->headerData(1, Qt::Horizontal).toString(), "Kennung");
    EXPECT_EQ(grid->columnWidth(0), 149);
    EXPECT_EQ(grid->columnWidth(1), 150);
    EXPECT_EQ(grid->rowHeight(0), 18);
    EXPECT_EQ(grid->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    // The empty list still shows one blank row, which is not an entry.
    EXPECT_EQ(grid->model()->rowCount(), 1);
    EXPECT_TRUE(Entries().empty());
    // Cells are always in edit mode: the current cell opens with the focus and
    // the next one opens as soon as it becomes current.
    EXPECT_NE(Open(), nullptr);
    Load("1=a\r\n2=b\r\n");
    Open();
    Key(Qt::Key_Down);
    EXPECT_TRUE(WaitFor([&] { return Editor() && Row() == 1; }));
    EXPECT_EQ(Editor()->text(), "2");
}

TEST_F(GridPage, NewButtonAddsOneEmptyEntryAtTheEnd)
{
    Click("BitBtn14");
    EXPECT_EQ(Entries(), Lines{"="});
    Click("BitBtn14");
    EXPECT_EQ(Entries(), Lines{"="});
    EXPECT_EQ(Grid()->model()->rowCount(), 1);
    Grid()->SaveToFile(file_);
    EXPECT_EQ(LoadFileBytes(file_), "=\r\n");

    Type("12");
    EXPECT_EQ(Entries(), Lines{"12="});
    Click("BitBtn14");
    Click("BitBtn14");
    EXPECT_EQ(Entries(), (Lines{"12=", "=", "="}));
    EXPECT_EQ(Row(), 0);
    EXPECT_TRUE(messages_.empty());
}

TEST_F(GridPage, DeleteButtonMovesUpFromTheLastRowAndRemovesOnlyOne)
{
    Click("BitBtn16");
    EXPECT_EQ(messages_, Lines{"List index out of bounds (0)"});
    EXPECT_EQ(Grid()->model()->rowCount(), 1);

    // The last row is an empty entry: moving up is part of the deletion and
    // must not remove it a second time on the way.
    Load("a=1\r\nb=2\r\n=\r\n");
    Grid()->SetCurrentRow(2);
    Click("BitBtn16");
    EXPECT_EQ(Entries(), (Lines{"a=1", "b=2"}));
    EXPECT_EQ(Row(), 1);

    Load("a=1\r\nb=2\r\nc=3\r\n");
    Grid()->SetCurrentRow(2);
    Click("BitBtn16");
    EXPECT_EQ(Entries(), (Lines{"a=1", "b=2"}));
    EXPECT_EQ(Row(), 1);
    Grid()->SetCurrentRow(0);
    Click("BitBtn16");
    EXPECT_EQ(Entries(), Lines{"b=2"});
    EXPECT_EQ(Row(), 0);
    Click("BitBtn16");
    EXPECT_TRUE(Entries().empty());
    EXPECT_EQ(Grid()->model()->rowCount(), 1);
    EXPECT_EQ(Shown(0, 0), "");
    EXPECT_EQ(messages_.size(), 1u);
}

TEST_F(GridPage, LeavingAnEmptyEntryRemovesIt)
{
    Load("a=1\r\n=\r\nb=2\r\n=\r\n");
    Open();
    GoTo(1, 0);
    Key(Qt::Key_Down);
    EXPECT_EQ(Entries(), (Lines{"a=1", "b=2", "="}));
    EXPECT_EQ(Row(), 1);
    EXPECT_EQ(Shown(Row(), 0), "b");
    GoTo(2, 1);
    Key(Qt::Key_Up, Qt::ControlModifier);
    EXPECT_EQ(Entries(), (Lines{"a=1", "b=2"}));
    EXPECT_EQ(Row(), 0);
    // Changing column inside the row is no move away.
    Click("BitBtn14");
    GoTo(2, 0);
    GoTo(2, 1);
    EXPECT_EQ(Entries(), (Lines{"a=1", "b=2", "="}));
}

TEST_F(GridPage, EscapeUndoesTheEditThenRemovesTheEmptyEntry)
{
    Load("a=1\r\n");
    Key(Qt::Key_Down);                   // on the last row with a key: new entry
    EXPECT_EQ(Entries(), (Lines{"a=1", "="}));
    EXPECT_EQ(Row(), 1);
    Type("xy");
    EXPECT_EQ(Entries(), (Lines{"a=1", "xy="}));
    Key(Qt::Key_Escape);
    EXPECT_EQ(Entries(), (Lines{"a=1", "="}));
    EXPECT_EQ(Editor()->text(), "");
    Key(Qt::Key_Escape);
    EXPECT_EQ(Entries(), Lines{"a=1"});
    EXPECT_EQ(Row(), 0);
    Key(Qt::Key_Escape);                 // nothing to undo, entry not empty
    EXPECT_EQ(Entries(), Lines{"a=1"});
    EXPECT_TRUE(messages_.empty());
}

TEST_F(GridPage, RowKeys)
{
    Load("a=1\r\nb=2\r\nc=3\r\n");
    Open();
    GoTo(1, 0);
    Key(Qt::Key_Insert);
    EXPECT_EQ(Entries(), (Lines{"a=1", "=", "b=2", "c=3"}));
    EXPECT_EQ(Row(), 1);
    Key(Qt::Key_Insert);                 // the current key is empty now
    EXPECT_EQ(Entries().size(), 4u);
    Key(Qt::Key_Down, Qt::ControlModifier);
    EXPECT_EQ(Entries(), (Lines{"a=1", "b=2", "c=3"}));
    EXPECT_EQ(Row(), 2);
    Key(Qt::Key_Down);
    EXPECT_EQ(Entries(), (Lines{"a=1", "b=2", "c=3", "="}));
    EXPECT_EQ(Row(), 3);
    Key(Qt::Key_Down);                   // empty key on the last row: stays
    EXPECT_EQ(Entries().size(), 4u);
    EXPECT_EQ(Row(), 3);
    Key(Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(Entries(), (Lines{"a=1", "b=2", "c=3"}));
    EXPECT_EQ(Row(), 2);
    Key(Qt::Key_Up, Qt::ControlModifier);
    EXPECT_EQ(Row(), 0);
    Key(Qt::Key_Delete, Qt::ControlModifier);
    Key(Qt::Key_Delete, Qt::ControlModifier);
    Key(Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_TRUE(Entries().empty());
    Key(Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(messages_, Lines{"List index out of bounds (0)"});
}

TEST_F(GridPage, EqualsSignIsRefusedInKeysOnly)
{
    Type("1=2");
    EXPECT_EQ(messages_, Lines{"Key may not contain equals sign (\"=\")"});
    EXPECT_EQ(Editor()->text(), "12");
    EXPECT_EQ(Entries(), Lines{"12="});
    Key(Qt::Key_Tab);
    EXPECT_TRUE(WaitFor([&] { return Editor() && Column() == 1; }));
    Type("a=b");
    EXPECT_EQ(Entries(), Lines{"12=a=b"});
    // A pasted text holding "=" is refused as a whole.
    GoTo(0, 0);
    QApplication::clipboard()->setText(QStringLiteral("x=y"));
    QLineEdit *editor = Open();
    editor->end(false);
    QTest::keyClick(editor, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(messages_.size(), 2u);
    EXPECT_EQ(Editor()->text(), "12");
    EXPECT_EQ(Entries(), Lines{"12=a=b"});
}

TEST_F(GridPage, DuplicateKeyIsRefusedWhenTheCellIsLeft)
{
    Load("12=Wache\r\nab=RTW\r\n");
    Open();
    GoTo(1, 0);
    Retype("1");
    EXPECT_EQ(Entries(), (Lines{"12=Wache", "1=RTW"}));
    Type("2");                           // "12" duplicates: silently not stored
    EXPECT_EQ(Entries(), (Lines{"12=Wache", "1=RTW"}));
    EXPECT_TRUE(messages_.empty());
    Key(Qt::Key_Up);
    EXPECT_EQ(messages_, Lines{"A key with the name of \"12\" already exists"});
    // The key from before the edit, not the prefix "1"; the refused cell is open again.
    EXPECT_EQ(Entries(), (Lines{"12=Wache", "ab=RTW"}));
    EXPECT_EQ(Shown(1, 0), "ab");
    ASSERT_TRUE(WaitFor([&] { return Editor() && Row() == 1 && Column() == 0; }));
    EXPECT_EQ(Editor()->text(), "ab");

    // Case does not make a key different; a later different text is stored.
    messages_.clear();
    Load("ab=x\r\ncd=y\r\n");
    Open();
    GoTo(1, 0);
    Retype("AB");
    EXPECT_EQ(Entries(), (Lines{"ab=x", "A=y"}));
    Type("C");
    EXPECT_EQ(Entries(), (Lines{"ab=x", "ABC=y"}));
    Key(Qt::Key_Up);
    EXPECT_TRUE(messages_.empty());
}

// A keyboard user must be able to leave the grid, and Tab must never land
// on an earlier key with its text selected, where typing replaces it.
TEST_F(GridPage, TabLeavesTheGridAndANewRowStartsWithItsKey)
{
    auto press = [](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
        QCoreApplication::processEvents();
    };
    Type("111");
    Key(Qt::Key_Tab);
    ASSERT_TRUE(WaitFor([&] { return Editor() && Column() == 1; }));
    Type("AAA");
    Key(Qt::Key_Down);
    ASSERT_TRUE(WaitFor([&] { return Editor() && Row() == 1; }));
    EXPECT_EQ(Column(), 0);
    Type("222");
    Key(Qt::Key_Tab);
    ASSERT_TRUE(WaitFor([&] { return Editor() && Column() == 1; }));
    press(Qt::Key_Tab);
    EXPECT_TRUE(WaitFor([&] { return Button("BitBtn14")->hasFocus(); }));
    press(Qt::Key_Tab);
    press(Qt::Key_Tab);
    EXPECT_TRUE(Button("BitBtn12")->hasFocus());
    EXPECT_EQ(Entries(), (Lines{"111=AAA", "222="}));

    // Backwards: into the grid at its last cell, through it, and out.
    press(Qt::Key_Tab);
    ASSERT_TRUE(WaitFor([&] { return Editor() != nullptr; }));
    GoTo(0, 1);
    ASSERT_TRUE(WaitFor([&] { return Editor() && Column() == 1; }));
    press(Qt::Key_Backtab, Qt::ShiftModifier);
    ASSERT_TRUE(WaitFor([&] { return Editor() && Column() == 0; }));
    press(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_TRUE(WaitFor([&] { return Button("BitBtn12")->hasFocus(); }));
    press(Qt::Key_9);
    EXPECT_EQ(Entries(), (Lines{"111=AAA", "222="}));
    EXPECT_TRUE(messages_.empty());
}

// The refusal of a duplicate key as the focus goes to a button must not
// eat the click: the user's release comes while an error box would be up.
TEST_F(GridPage, ClickThatRefusesADuplicateKeyStillTakesEffect)
{
    SetDefaultExceptionHandler([this](std::exception_ptr error) {
        Record(error);
        QDialog box(&window_);
        box.setModal(true);
        QTimer::singleShot(300, &box, &QDialog::accept);
        box.exec();
    });
    Load("12=a\r\n1=b\r\n");
    Open();
    GoTo(1, 0);
    Key(Qt::Key_End);
    Type("2");                           // duplicate, silently not stored
    QPushButton *save = Button("BitBtn12");
    // The user lets go of the button 100 ms after pressing it.
    QTimer::singleShot(100, save, [save] { QTest::mouseRelease(save, Qt::LeftButton); });
    QTest::mousePress(save, Qt::LeftButton);
    EXPECT_TRUE(WaitFor([&] { return saves_ == 1 && messages_.size() == 1; }, 5000));
    EXPECT_EQ(messages_, Lines{"A key with the name of \"12\" already exists"});
    EXPECT_EQ(LoadFileBytes(file_), "12=a\r\n1=b\r\n");
}

TEST_F(GridPage, ErrorBoxTakingTheFocusDoesNotLeaveTheCell)
{
    // Like the real handler, show a window that takes the activation.
    SetDefaultExceptionHandler([this](std::exception_ptr error) {
        Record(error);
        QWidget box;
        box.show();
        box.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&box));
        box.close();
        window_.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window_));
    });
    Load("12=a\r\n1=b\r\n");
    Open();
    GoTo(1, 0);
    Key(Qt::Key_End);                    // an opened cell has its text selected
    Type("2");                           // duplicate, silently not stored
    Type("=");
    EXPECT_EQ(messages_, Lines{"Key may not contain equals sign (\"=\")"});
    ASSERT_TRUE(WaitFor([&] { return Editor() != nullptr; }));
    EXPECT_EQ(Editor()->text(), "12");
    EXPECT_EQ(Entries(), (Lines{"12=a", "1=b"}));
}

TEST_F(GridPage, TypingIntoTheBlankRowCreatesAnEntryAndSaveTakesWhatIsTyped)
{
    Type("4711");
    EXPECT_EQ(Entries(), Lines{"4711="});
    Key(Qt::Key_Tab);
    EXPECT_TRUE(WaitFor([&] { return Editor() && Column() == 1; }));
    Type("Wache \xC3\x96st");            // UTF-8 "Wache Öst"
    Type(QString(QChar(0x0141)));          // Ł
    Grid()->SaveToFile(file_);
    // A new file is UTF-8.
    EXPECT_EQ(LoadFileBytes(file_), "4711=Wache \xC3\x96st\xC5\x81\r\n");
}

TEST_F(GridPage, EditsAreSavedInTheFilesOwnEncoding)
{
    // Loaded and saved unchanged, either encoding keeps its bytes.
    for (const std::string text : {"\xC4=\x80\r\n", "\xC3\x84=\xE2\x82\xAC\r\n"}) {
        Load(text);
        EXPECT_EQ(Shown(0, 0), QString::fromUtf8("Ä"));
        EXPECT_EQ(Shown(0, 1), QString::fromUtf8("€"));
        Grid()->SaveToFile(file_);
        EXPECT_EQ(LoadFileBytes(file_), text);
    }
    // Edited text goes back in the file's encoding; Windows-1252 lacks "Ł".
    Load("\xC4=\x80\r\n");
    Open();
    GoTo(0, 1);
    Key(Qt::Key_End);
    Type(QString::fromUtf8("ÖŁ"));
    EXPECT_EQ(Editor()->text(), QString::fromUtf8("€Ö?"));
    Grid()->SaveToFile(file_);
    EXPECT_EQ(LoadFileBytes(file_), "\xC4=\x80\xD6?\r\n");
    Load("\xC3\x84=\xE2\x82\xAC\r\n");
    Open();
    GoTo(0, 1);
    Key(Qt::Key_End);
    Type(QString::fromUtf8("ÖŁ"));
    Grid()->SaveToFile(file_);
    EXPECT_EQ(LoadFileBytes(file_), "\xC3\x84=\xE2\x82\xAC\xC3\x96\xC5\x81\r\n");
}

// The duplicate message quotes the key as typed, whatever the file's
// encoding, and reads right through the translation.
TEST_F(GridPage, DuplicateKeyMessageReadsRightInGerman)
{
    qputenv("LANG", "de_DE.UTF-8");
    InitializeTranslation(ResolvedProgramPath());
    for (const std::string file : {"\xE4=x\r\n=\r\n", "\xC3\xA4=x\r\n=\r\n"}) {
        messages_.clear();
        Load(file);
        Open();
        GoTo(1, 0);
        Type(QString::fromUtf8("Ä"));
        Key(Qt::Key_Up);
        ASSERT_EQ(messages_.size(), 1u);
        EXPECT_EQ(QString::fromStdString(TextToUtf8(messages_[0])),
                  QString::fromUtf8("Ein Schlüssel mit dem Namen \"Ä\" existiert bereits"));
    }
    FinalizeTranslation();
    qunsetenv("LANG");
}

TEST_F(GridPage, LoadShowsTheFileAndKeepsLinesBeforeADuplicate)
{
    Load("\xC4=\x80\r\n=\r\nplain\n");
    EXPECT_EQ(Grid()->model()->rowCount(), 3);
    EXPECT_EQ(Shown(0, 0), QString::fromUtf8("Ä"));
    EXPECT_EQ(Shown(0, 1), QString::fromUtf8("€"));
    EXPECT_EQ(Shown(2, 0), "");
    EXPECT_EQ(Shown(2, 1), "plain");

    try {
        Load("12=a\r\n34=b\r\n12=c\r\n");
        ADD_FAILURE() << "duplicate not reported";
    } catch (const EDuplicateKeyError &e) {
        EXPECT_EQ(e.Message(), "A key with the name of \"12\" already exists");
    }
    EXPECT_EQ(Entries(), (Lines{"12=a", "34=b"}));
    EXPECT_EQ(Grid()->model()->rowCount(), 2);

    fs::remove(file_);
    EXPECT_THROW(Grid()->LoadFromFile(file_), EFOpenError);
    EXPECT_EQ(Entries(), (Lines{"12=a", "34=b"}));
}

// Megabytes in a cell or a key must neither stall the window nor be cut in
// the data: the cell shows a bounded part, saving gives it whole.
TEST_F(GridPage, LongTextsShowBoundedAndStayWhole)
{
    QElapsedTimer timer;
    timer.start();
    const std::string value(8 << 20, 'v');
    Load("K=" + value + "\r\n" + std::string(4 << 20, 'x') + "=1\r\n");
    Open();
    GoTo(1, 0);                          // the long key opens in the editor
    ASSERT_TRUE(WaitFor([&] { return Editor() && Row() == 1; }));
    GoTo(0, 1);
    ASSERT_TRUE(WaitFor([&] { return Editor() && Row() == 0 && Column() == 1; }));
    Grid()->viewport()->repaint();
    EXPECT_LE(Shown(0, 1).size(), DisplayTextLimit);
    EXPECT_LE(Editor()->text().size(), DisplayTextLimit);
    Key(Qt::Key_Up, Qt::ControlModifier);  // leaving the shortened cell stores nothing
    Grid()->SaveToFile(file_);
    EXPECT_EQ(LoadFileBytes(file_), "K=" + value + "\r\n" + std::string(4 << 20, 'x') + "=1\r\n");

    // Two long keys differing in case: the box text quotes a bounded part.
    try {
        Load(std::string(4 << 20, 'k') + "=1\r\n" + std::string(4 << 20, 'K') + "=2\r\n");
        ADD_FAILURE() << "duplicate not reported";
    } catch (const EDuplicateKeyError &e) {
        EXPECT_LE(e.Message().size(), 4096u);
        EXPECT_EQ(e.Message().rfind("A key with the name of \"KKK", 0), 0u);
    }
    EXPECT_LT(timer.elapsed(), 20000) << "long texts stall the grid";
    EXPECT_TRUE(messages_.empty());
}

int main(int argc, char **argv)
{
    // Test discovery runs the binary without the test environment.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
