#include "errorbox.h"
#include "errorhandler.h"
#include "eventlog.h"
#include "exception.h"
#include "formtest.h"
#include "resourcestring.h"
#include "serialerror.h"
#include "serialport.h"
#include "statictext.h"
#include "tform1.h"
#include "valuelisteditor.h"

#include <QApplication>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QHelpEvent>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QUrl>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

const char *const ConnectionButtons[] = {"BitBtn4", "BitBtn6", "BitBtn9", "BitBtn10", "BitBtn13",
                                         "BitBtn15", "BitBtn21", "BitBtn22", "BitBtn24", "BitBtn25"};
const char *const ToneEdits[] = {"Edit3", "Edit4", "Edit5", "Edit6", "Edit7", "Edit10",
                                 "Edit9", "Edit8", "Edit13", "Edit12", "Edit11"};

class Form1Test : public FormTest {
protected:
    QString Text(const char *edit) const { return Find<QLineEdit>(edit)->text(); }

    void ChooseTonePreset(int index)
    {
        // A user's choice: through the popup with the keyboard, as a person would.
        auto *combo = Find<QComboBox>("ComboBox3");
        combo->setFocus();
        const int steps = index - combo->currentIndex();
        for (int i = 0; i < std::abs(steps); ++i)
            QTest::keyClick(combo, steps > 0 ? Qt::Key_Down : Qt::Key_Up);
    }
};

} // namespace

TEST_F(Form1Test, WindowAndPagesAsDesigned)
{
    EXPECT_EQ(form->windowTitle(), "KARVEN ZOP v1.0.2");
    EXPECT_EQ(form->size(), QSize(544, 476));
    auto *pages = Find<QTabWidget>("PageControl1");
    ASSERT_EQ(pages->count(), 6);
    const char *captions[] = {"Allgemein", "FMS: Filter", "FMS: Substitution", "Selektivruf", "Firmware-Update", "Service"};
    const char *names[] = {"TabSheet1", "TabSheet2", "TabSheet3", "TabSheet5", "TabSheet4", "TabSheet6"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(pages->tabText(i), QString::fromUtf8(captions[i]));
        EXPECT_EQ(pages->widget(i)->objectName(), names[i]);
    }
    EXPECT_EQ(pages->currentIndex(), 0);
    EXPECT_EQ(Find("ListBox1")->geometry(), QRect(0, 401, 544, 73));
}

TEST_F(Form1Test, InitialFieldsAndButtons)
{
    for (const char *name : {"StaticText6", "StaticText7", "StaticText8", "StaticText2", "StaticText3", "StaticText4"})
        EXPECT_EQ(Find<QLabel>(name)->text(), "not read") << name;
    EXPECT_EQ(Find<QLabel>("StaticText5")->text(), "1.0.2");
    EXPECT_EQ(Find<QLabel>("StaticText1")->text(), " Waiting... ");
    EXPECT_EQ(Find<QPushButton>("BitBtn1")->text(), "Verbindung herstellen");
    for (const char *name : ConnectionButtons)
        EXPECT_FALSE(Find<QPushButton>(name)->isEnabled()) << name;
    for (const char *name : {"BitBtn1", "BitBtn5", "BitBtn2", "BitBtn3", "BitBtn7", "BitBtn8", "BitBtn11", "BitBtn12",
                             "BitBtn14", "BitBtn16", "BitBtn17", "BitBtn18", "BitBtn19", "BitBtn20"})
        EXPECT_TRUE(Find<QPushButton>(name)->isEnabled()) << name;
    EXPECT_EQ(Find<QLineEdit>("Edit2")->maxLength(), 15);
    EXPECT_EQ(Find<QLineEdit>("Edit1")->maxLength(), 8);
    EXPECT_EQ(Find("BitBtn21")->geometry(), QRect(8, 92, 161, 25));
    EXPECT_EQ(Find("StaticText8")->geometry(), QRect(136, 72, 125, 17));
}

// The status line keeps its designed size: a long text ends in "…" and shows
// whole as its tooltip; a short one is shown as it is, without a tooltip.
TEST_F(Form1Test, StatusLineElidesALongTextAndShowsItWholeAsTooltip)
{
    auto *status = Find<TStaticText>("StaticText1");
    EXPECT_EQ(status->geometry(), QRect(52, 196, 225, 17));
    const QString whole = QStringLiteral("Connecting on port /dev/serial/by-id/usb-KARVEN_Decoder_Adapter_A1234-if00-port0...");
    status->setText(whole);
    EXPECT_TRUE(status->DisplayedText().endsWith(QChar(0x2026))) << status->DisplayedText().toStdString();
    EXPECT_LE(status->fontMetrics().horizontalAdvance(status->DisplayedText()), status->contentsRect().width());
    const auto hover = [&] {
        QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), status->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(status, &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    EXPECT_EQ(hover(), whole);
    QToolTip::hideText();
    ASSERT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }));
    status->setText(QStringLiteral("Ready..."));
    EXPECT_EQ(status->DisplayedText(), QStringLiteral("Ready..."));
    EXPECT_EQ(hover(), QString());
}

TEST_F(Form1Test, FilterCheckBoxesNamedByStatusValue)
{
    // The names do not follow the status order; status 2 and 3 are swapped, 4-7 and 8-F reversed.
    EXPECT_EQ(Find<QCheckBox>("CheckBox4")->text(), "Status 2");
    EXPECT_EQ(Find<QCheckBox>("CheckBox4")->geometry(), QRect(8, 20 + 16 * 2, 65, 17));
    EXPECT_EQ(Find<QCheckBox>("CheckBox9")->text(), "Status F");
    EXPECT_EQ(Find<QCheckBox>("CheckBox9")->parentWidget()->objectName(), "GroupBox9");
    EXPECT_EQ(Find<QCheckBox>("CheckBox25")->text(), "Status F");
    EXPECT_EQ(Find<QCheckBox>("CheckBox25")->parentWidget()->objectName(), "GroupBox10");
    EXPECT_EQ(Find<QCheckBox>("CheckBox21")->text(), "Status 7");
    EXPECT_EQ(Find<QCheckBox>("CheckBox33")->text(), "nur bekannte Fzg");
}

TEST_F(Form1Test, ServicePageSelectableButInert)
{
    auto *pages = Find<QTabWidget>("PageControl1");
    EXPECT_TRUE(pages->isTabEnabled(5));
    pages->setCurrentIndex(5);
    EXPECT_FALSE(Find("TabSheet6")->isEnabled());
    EXPECT_FALSE(Find("Edit1")->isEnabled());
    EXPECT_FALSE(Find("BitBtn23")->isEnabled());
}

TEST_F(Form1Test, StatusWindowToggleHidesAndShowsTheLog)
{
    auto *toggle = Find<QCheckBox>("CheckBox34");
    ASSERT_TRUE(toggle->isChecked());
    QTest::mouseClick(toggle, Qt::LeftButton, {}, QPoint(5, toggle->height() / 2));
    EXPECT_EQ(form->height() + TForm1::FrameExtra, TForm1::HeightWithoutLog);
    EXPECT_EQ(form->width(), 544);
    form->AddLogLine("appended while hidden");
    QTest::mouseClick(toggle, Qt::LeftButton, {}, QPoint(5, toggle->height() / 2));
    EXPECT_EQ(form->height() + TForm1::FrameExtra, TForm1::HeightWithLog);
    ASSERT_EQ(form->EventLog()->Content().Count(), 1);
    EXPECT_EQ(form->EventLog()->Content().Line(0), "appended while hidden");
}

TEST_F(Form1Test, ServicePromptDiscardsTheAnswer)
{
    for (const QString &answer : {QStringLiteral("geheim"), QString()}) {
        const bool seen = WithModal<QInputDialog>([&] { QTest::mouseClick(Find<QPushButton>("BitBtn5"), Qt::LeftButton); },
                                                  [&](QInputDialog *dialog) {
                                                      EXPECT_EQ(dialog->windowTitle(), "Service Modus");
                                                      EXPECT_EQ(dialog->labelText(), "Bitte das Servicepasswort eingeben!");
                                                      EXPECT_EQ(dialog->textValue(), "");
                                                      dialog->setTextValue(answer);
                                                      dialog->accept();
                                                  });
        EXPECT_TRUE(seen);
        EXPECT_FALSE(Find("TabSheet6")->isEnabled());
    }
}

TEST_F(Form1Test, TonePresetsApplyOnlyOnTheUsersChoice)
{
    EXPECT_EQ(Text("Edit3"), "1060");
    EXPECT_EQ(Text("Edit11"), "2600");
    Find<QLineEdit>("Edit14")->setText("12345");
    ChooseTonePreset(1);   // ZVEI-2 after ZVEI-1: only digit R changes
    EXPECT_EQ(Text("Edit11"), "970");
    EXPECT_EQ(Text("Edit3"), "1060");
    EXPECT_EQ(Text("Edit12"), "2400");
    ChooseTonePreset(2);
    EXPECT_EQ(Text("Edit3"), "1124");
    EXPECT_EQ(Text("Edit11"), "2110");
    ChooseTonePreset(4);   // "eigene" empties every digit field
    for (const char *edit : ToneEdits)
        EXPECT_EQ(Text(edit), "") << edit;
    EXPECT_EQ(Text("Edit14"), "12345");

    // A selection from code changes only the shown entry.
    Find<QComboBox>("ComboBox3")->setCurrentIndex(0);
    EXPECT_EQ(Text("Edit3"), "");
}

TEST_F(Form1Test, AlarmSequenceFieldRefusesSixthCharacter)
{
    auto *edit = Find<QLineEdit>("Edit15");
    QTest::keyClicks(edit, "123456");
    EXPECT_EQ(edit->text(), "12345");
}

TEST_F(Form1Test, DecoderRepliesFillFieldsAndSelectLastLine)
{
    form->Protocol().AssembleDecoderLines("0\x1e" "C\x1e" "GS\x1e" "A1");
    form->Protocol().AssembleDecoderLines("234\n\r0\x1e" "C\x1e" "GF\x1e" "4.69\n\r");
    EXPECT_EQ(Find<QLabel>("StaticText8")->text(), "A1234");
    EXPECT_EQ(Find<QLabel>("StaticText7")->text(), "4.69");
    EXPECT_EQ(Find<QLabel>("StaticText4")->text(), "4.69");
    ASSERT_EQ(form->EventLog()->Content().Count(), 2);
    EXPECT_EQ(form->EventLog()->ItemIndex(), 1);

    std::string tones = "0\x1e" "C\x1e" "GZ\x1e";
    for (int i = 0; i < 11; ++i)
        tones += std::to_string(500 + i) + '\x1e';
    form->EventLog()->SetItemIndex(0);
    form->Protocol().AssembleDecoderLines(tones + "\n\r");
    EXPECT_EQ(Text("Edit3"), "500");
    EXPECT_EQ(Text("Edit11"), "510");
    EXPECT_EQ(form->EventLog()->Content().Count(), 2);
    EXPECT_EQ(form->EventLog()->ItemIndex(), 1);   // reselected without a new line
}

TEST_F(Form1Test, HandlerErrorReachesMessageBoxAndWindowStaysUsable)
{
    InstallDefaultErrorHandler([]() -> QWidget * { return nullptr; });
    QString caption, text;
    const bool seen = WithModal<QMessageBox>(
        [&] {
            Guarded([&] {
                form->AddLogLine("before the failure");
                throw Exception("Cannot open file substi.txt");
            });
        },
        [&](QMessageBox *box) {
            caption = box->windowTitle();
            text = box->text();
            EXPECT_EQ(box->icon(), QMessageBox::Critical);
            EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
            box->accept();
        });
    ASSERT_TRUE(seen);
    EXPECT_EQ(caption, ApplicationTitle(QCoreApplication::applicationFilePath()));
    EXPECT_EQ(text, "Cannot open file substi.txt.");
    EXPECT_EQ(form->EventLog()->Content().Count(), 1);   // nothing done before the failure is undone
    SetDefaultExceptionHandler(nullptr);
}

namespace {

// Runs a test body inside a fresh working directory, where "substi.txt" lives.
class InTempDir {
public:
    InTempDir() : old_(std::filesystem::current_path())
    {
        char pattern[] = "/tmp/kz-form-XXXXXX";
        dir_ = mkdtemp(pattern);
        std::filesystem::current_path(dir_);
    }
    ~InTempDir()
    {
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(dir_);
    }

private:
    std::filesystem::path old_;
    std::string dir_;
};

} // namespace

TEST_F(Form1Test, LoadAndSaveButtonsOnEveryPageUseTheSubstitutionList)
{
    InTempDir here;
    InstallDefaultErrorHandler([]() -> QWidget * { return nullptr; });
    {
        std::ofstream out("substi.txt", std::ios::binary);
        out << "12345678=RTW 1\n87654321=NEF 2";
    }
    QTest::mouseClick(Find<QPushButton>("BitBtn7"), Qt::LeftButton);   // "FMS: Filter" page
    auto *grid = Find<TValueListEditor>("ValueListEditor1");
    ASSERT_EQ(grid->Strings().Count(), 2u);
    EXPECT_EQ(grid->Strings().Line(1), "87654321=NEF 2");
    EXPECT_EQ(form->EventLog()->Content().Line(form->EventLog()->Content().Count() - 1), "Konfiguration geladen.");

    QTest::mouseClick(Find<QPushButton>("BitBtn14"), Qt::LeftButton);   // "Neu..." appends an empty entry
    QTest::mouseClick(Find<QPushButton>("BitBtn3"), Qt::LeftButton);    // save from "Allgemein"
    EXPECT_EQ(ReadAll("substi.txt"), "12345678=RTW 1\r\n87654321=NEF 2\r\n=\r\n");
    EXPECT_EQ(form->EventLog()->Content().Line(form->EventLog()->Content().Count() - 1), "Konfiguration gespeichert.");
    EXPECT_EQ(form->EventLog()->ItemIndex(), form->EventLog()->Content().Count() - 1);
    SetDefaultExceptionHandler(nullptr);
}

// Windows' theme gives item views a font of its own, which the application
// font does not reach; under wine it left what was typed into a grid cell
// undrawn. The grid and the editor of its open cell keep the window's font.
TEST(Form1Font, TheGridAndItsOpenCellKeepTheWindowFont)
{
    QFont theme(QStringLiteral("DejaVu Serif"));
    theme.setPixelSize(20);
    QApplication::setFont(theme, "QAbstractItemView");
    {
        TForm1 form;
        form.show();
        form.findChild<QTabWidget *>(QStringLiteral("PageControl1"))->setCurrentIndex(2);
        auto *grid = form.findChild<TValueListEditor *>(QStringLiteral("ValueListEditor1"));
        ASSERT_NE(grid, nullptr);
        grid->setFocus(Qt::OtherFocusReason);
        QLineEdit *cell = nullptr;
        ASSERT_TRUE(QTest::qWaitFor([&] { return (cell = grid->findChild<QLineEdit *>()) != nullptr; }, 5000));
        for (const QWidget *widget : {static_cast<const QWidget *>(grid), static_cast<const QWidget *>(cell)}) {
            EXPECT_EQ(widget->font().family().toStdString(), WindowFont().family().toStdString());
            EXPECT_EQ(widget->font().pixelSize(), 11);
        }
    }
    // Without a class name the class fonts go again.
    ApplyWindowFont();
}

// What the system is asked to open; a file manager is not started in a test.
class OpenedUrls : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void Open(const QUrl &url) { urls.push_back(url); }
};

TEST_F(Form1Test, WorkingFolderOpensFromTheContextMenus)
{
    InTempDir here;
    OpenedUrls opened;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &opened, "Open");
    auto *action = form->findChild<QAction *>(QStringLiteral("WorkingFolderAction"));
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->text(), "Arbeitsordner öffnen");
    for (const char *name : {"StaticText1", "BitBtn19", "BitBtn11", "BitBtn12"}) {
        auto *widget = form->findChild<QWidget *>(QString::fromLatin1(name));
        ASSERT_NE(widget, nullptr) << name;
        EXPECT_EQ(widget->contextMenuPolicy(), Qt::ActionsContextMenu) << name;
        // Right below "Update-Server…" where that entry is.
        const QList<QAction *> entries = widget->actions();
        const qsizetype at = entries.indexOf(action);
        ASSERT_GE(at, 0) << name;
        if (at > 0)
            EXPECT_EQ(entries[at - 1]->objectName(), "UpdateServerAction") << name;
    }
    action->trigger();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    EXPECT_EQ(opened.urls, QList<QUrl>{QUrl::fromLocalFile(QDir::currentPath())});
}

// Edits not saved are not dropped without a word: loading the list and
// closing the window ask first, "Abbrechen" the default; nothing changed,
// nothing is asked.
TEST_F(Form1Test, UnsavedListEditsAreDroppedOnlyWhenTheUserSaysSo)
{
    InTempDir here;
    std::ofstream("substi.txt", std::ios::binary) << "12345678=RTW 1\n";
    auto *grid = Find<TValueListEditor>("ValueListEditor1");
    // Runs the action; answers a question with the default or with "Verwerfen"; true when asked.
    auto asked = [&](const std::function<void()> &action, bool discard) {
        QString question;
        const bool seen = WithModal<QMessageBox>(action, [&](QMessageBox *box) {
            question = box->text();
            ASSERT_NE(box->defaultButton(), nullptr);
            EXPECT_EQ(box->defaultButton()->text(), "Abbrechen");
            if (discard)
                box->buttons().at(box->buttons().indexOf(box->defaultButton()) == 0 ? 1 : 0)->click();
            else
                QTest::keyClick(box, Qt::Key_Return);
        });
        EXPECT_EQ(question, seen ? QString::fromUtf8("Änderungen an der Liste verwerfen?") : QString());
        return seen;
    };
    auto load = [&] { QTest::mouseClick(Find<QPushButton>("BitBtn11"), Qt::LeftButton); };
    EXPECT_FALSE(asked(load, false));
    ASSERT_EQ(grid->Strings().Count(), 1u);

    QTest::mouseClick(Find<QPushButton>("BitBtn14"), Qt::LeftButton);   // "Neu..."
    ASSERT_EQ(grid->Strings().Count(), 2u);
    const int logLines = form->EventLog()->Content().Count();
    EXPECT_TRUE(asked(load, false));
    EXPECT_EQ(grid->Strings().Count(), 2u);
    EXPECT_EQ(form->EventLog()->Content().Count(), logLines);   // not loaded
    EXPECT_TRUE(asked([&] { form->close(); }, false));
    EXPECT_TRUE(form->isVisible());

    EXPECT_TRUE(asked(load, true));
    EXPECT_EQ(grid->Strings().Count(), 1u);
    EXPECT_FALSE(asked([&] { form->close(); }, false));
    EXPECT_FALSE(form->isVisible());
}

TEST_F(Form1Test, SubstitutionFailuresShowTheirMessages)
{
    InTempDir here;
    InstallDefaultErrorHandler([]() -> QWidget * { return nullptr; });
    QString informative;
    auto clickAndReadBox = [&](const char *button) {
        QString text;
        WithModal<QMessageBox>([&] { QTest::mouseClick(Find<QPushButton>(button), Qt::LeftButton); },
                               [&](QMessageBox *box) {
                                   text = box->text();
                                   informative = box->informativeText();
                                   box->accept();
                               });
        return text;
    };
    EXPECT_EQ(clickAndReadBox("BitBtn11"), "Cannot open file substi.txt.");
    // Where it was looked for, and the system's reason.
    EXPECT_EQ(informative, QDir::currentPath() + "/substi.txt: " + QString::fromLocal8Bit(std::strerror(ENOENT)));
    EXPECT_EQ(form->EventLog()->Content().Count(), 0);   // no log line after a failed load
    EXPECT_EQ(clickAndReadBox("BitBtn16"), "List index out of bounds (0)");
    {
        std::ofstream out("substi.txt", std::ios::binary);
        out << "1=a\r\n2=b\r\n1=c\r\n";
    }
    QString details;
    WithModal<QMessageBox>([&] { QTest::mouseClick(Find<QPushButton>("BitBtn2"), Qt::LeftButton); },
                           [&](QMessageBox *box) {
                               EXPECT_EQ(box->text(), "A key with the name of \"1\" already exists.");
                               details = box->detailedText();
                               box->accept();
                           });
    EXPECT_EQ(details, "substi.txt, line 3");
    EXPECT_EQ(Find<TValueListEditor>("ValueListEditor1")->Strings().Count(), 2u);   // the lines before it stay

    // Saving now would drop "1=c", which the grid never held: the question's
    // default declines and changes nothing; only saving anyway writes.
    const int logLines = form->EventLog()->Content().Count();
    for (const bool proceed : {false, true}) {
        QString question;
        const bool asked = WithModal<QMessageBox>(
            [&] { QTest::mouseClick(Find<QPushButton>("BitBtn3"), Qt::LeftButton); },
            [&](QMessageBox *box) {
                question = box->text();
                ASSERT_NE(box->defaultButton(), nullptr);
                EXPECT_EQ(box->defaultButton()->text(), "Abbrechen");
                if (proceed)
                    box->buttons().at(box->buttons().indexOf(box->defaultButton()) == 0 ? 1 : 0)->click();
                else
                    QTest::keyClick(box, Qt::Key_Return);
            });
        ASSERT_TRUE(asked);
        EXPECT_TRUE(question.contains(": 1.")) << question.toStdString();
        EXPECT_EQ(ReadAll("substi.txt"), proceed ? "1=a\r\n2=b\r\n" : "1=a\r\n2=b\r\n1=c\r\n");
        EXPECT_EQ(form->EventLog()->Content().Count(), logLines + (proceed ? 1 : 0));
    }
    SetDefaultExceptionHandler(nullptr);
}

TEST(ErrorBox, CaptionAndFinalFullStop)
{
    EXPECT_EQ(ApplicationTitle("/opt/karven/KarvenZop"), "Karvenzop");
    EXPECT_EQ(ApplicationTitle("/x/KARVENZOP.exe.old"), "Karvenzop");
    EXPECT_EQ(ApplicationTitle("/x/a"), "a");
    auto text = [](const char *message) { return ErrorBoxText(std::make_exception_ptr(Exception(message))); };
    EXPECT_EQ(text("Connection refused"), "Connection refused.");
    EXPECT_EQ(text("Unable to open com port (win error code: 2)"), "Unable to open com port (win error code: 2)");
    EXPECT_EQ(text("Connection Closed Gracefully."), "Connection Closed Gracefully.");
    EXPECT_EQ(text("Operation would block. "), "Operation would block. ");   // a blank sorts below "."
    EXPECT_EQ(text(""), "");
    EXPECT_EQ(text("Socket Error # 10061\r\nConnection refused."), "Socket Error # 10061\r\nConnection refused.");
    // Bytes that are not UTF-8 are shown as 8-bit text.
    EXPECT_EQ(ErrorBoxText(std::make_exception_ptr(Exception("A key with the name of \"\xc4\" already exists"))),
              QString::fromUtf8("A key with the name of \"Ä\" already exists."));
}

TEST(EventLogLines, KeepsLinesCompactAndClears)
{
    EventLogLines lines;
    for (int i = 0; i < 5000; ++i)
        lines.Append(std::string(40, static_cast<char>('a' + i % 26)));
    lines.Append(std::string(3 * 1024 * 1024, 'z'));   // larger than a block
    lines.Append("after");
    ASSERT_EQ(lines.Count(), 5002);
    EXPECT_EQ(lines.Line(27), std::string(40, 'b'));
    EXPECT_EQ(lines.Line(5000).size(), 3u * 1024 * 1024);
    EXPECT_EQ(lines.Line(5001), "after");
    EXPECT_LT(lines.BytesReserved(), 6u * 1024 * 1024);   // two 1 MiB blocks and the big line's own
    lines.Clear();
    EXPECT_EQ(lines.Count(), 0);
}

// Weeks at a busy site: the newest million lines at least are kept, the
// oldest go in whole blocks, the log says so, and the selection and the
// telegrams' fields move along.
TEST(EventLogView, KeepsTheNewestMillionLinesAndSaysWhenOlderOnesGo)
{
    TEventLog log;
    log.SetDesignationLookup([](const std::string &) { return QStringLiteral("named"); });
    log.SetNamesShown(true);
    const decoder::Telegram telegram{"12345678", '3', '0', '1', false, std::nullopt};
    const int total = EventLogLines::KeptLines + 200000;   // a block holds some 90000 of these lines
    for (int i = 0; i < 10; ++i)
        log.AppendTelegram("line " + std::to_string(i), telegram);
    log.SetItemIndex(5);
    for (int i = 10; i < total; ++i)
        log.AppendTelegram("line " + std::to_string(i), telegram);
    ASSERT_GE(log.Content().Count(), EventLogLines::KeptLines);
    EXPECT_LT(log.Content().Count(), total);
    const std::string first = log.Content().Text(0).toStdString();
    const int firstKept = std::stoi(first.substr(5));
    int notices = 0;
    for (int i = 0; i < log.Content().Count(); ++i) {
        const bool notice = log.Content().Text(i).startsWith(QStringLiteral("Protokoll: die ältesten "));
        notices += notice;
        ASSERT_EQ(log.Content().VisibleText(i).endsWith(QStringLiteral("  [named]")), !notice) << i;
    }
    EXPECT_GE(notices, 1);
    // Every line from the first kept one on is there, in order, the newest last.
    EXPECT_EQ(log.Content().Text(log.Content().Count() - 1).toStdString(), "line " + std::to_string(total - 1));
    EXPECT_EQ(log.Content().Count() - notices, total - firstKept);
    EXPECT_EQ(log.ItemIndex(), -1);   // the selected line went with its block
}

TEST(EventLogView, SelectionScrollsAndShowsLatin1)
{
    TEventLog log;
    log.resize(544, 73);
    log.show();
    for (int i = 0; i < 100; ++i)
        log.Append("line " + std::to_string(i));
    EXPECT_EQ(log.ItemIndex(), -1);   // appending alone selects nothing
    log.SetItemIndex(99);
    EXPECT_EQ(log.ItemIndex(), 99);
    EXPECT_GT(log.TopIndex(), 90);
    log.SetItemIndex(3);
    EXPECT_EQ(log.TopIndex(), 3);
    log.SetItemIndex(100);   // beyond the end: no selection
    EXPECT_EQ(log.ItemIndex(), -1);
    log.Append(std::string("\xe4\n", 2));
    EXPECT_EQ(log.Content().Text(100), QString::fromUtf8("ä\n"));
    log.Clear();
    EXPECT_EQ(log.Content().Count(), 0);
    EXPECT_EQ(log.ItemIndex(), -1);
}

TEST(GermanMessages, MissingPortShowsGermanTextAndSuffix)
{
    // The German catalogue is built into locale/ beside the test program.
    const char *saved = std::getenv("LANG");
    const std::string previous = saved ? saved : "";
    setenv("LANG", "de_DE.UTF-8", 1);
    InitializeTranslation(ResolvedProgramPath());
    TSerialPort port;
    port.SetPort("/dev/karvenzop-no-such-port");
    std::string german;
    try {
        port.OpenPort();
    } catch (const Exception &e) {
        german = e.Message();
    }
    FinalizeTranslation();
    setenv("LANG", previous.c_str(), 1);

    EXPECT_EQ(german, "COM-Port kann nicht geöffnet werden (Fehlercode: 2)");
    EXPECT_FALSE(port.Connected());

    // Without the lookup the same failure reads in English.
    std::string english;
    try {
        port.OpenPort();
    } catch (const Exception &e) {
        english = e.Message();
    }
    EXPECT_EQ(english, "Unable to open com port (win error code: 2)");
}

TEST(WindowStart, UnreadablePortListMeansNoWindow)
{
    // A child hides the tty class behind an empty mount (root only) and
    // tries to build the window: the port list cannot be read at all.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/sys/class", "tmpfs", 0, nullptr) != 0)
            _exit(77);
        try {
            TForm1 form;
        } catch (const ESerialPort &e) {
            const bool expected = e.LibraryCode() == 23 && e.Message().rfind("Registry error (win error code: ", 0) == 0;
            _exit(expected ? 0 : 2);
        } catch (...) {
            _exit(3);
        }
        _exit(4);   // the window was created
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "needs a mount namespace (root)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

#include "tform1_test.moc"
