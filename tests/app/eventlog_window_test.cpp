// The window's frame and the event log's additions, driven as a user would:
// through the log's menu actions, keys and mouse, found by object name.

#include "displaytext.h"
#include "errorbox.h"
#include "errorhandler.h"
#include "eventlog.h"
#include "exception.h"
#include "formtest.h"
#include "signalled.h"
#include "statictext.h"
#include "tform1.h"
#include "toolkittranslation.h"
#include "valuelisteditor.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTranslator>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

namespace {

class LogWindow : public FormTest {
protected:
    void SetUp() override
    {
        FormTest::SetUp();
        log = form->EventLog();
    }
    QAction *Action(const char *name) const { return Find<QAction>(name); }
    void Settle() const { QCoreApplication::processEvents(); }

    void ClickRow(int row, Qt::KeyboardModifiers modifiers = {})
    {
        const int y = (row - log->TopIndex()) * TEventLog::RowHeight + TEventLog::RowHeight / 2;
        QTest::mouseClick(log->viewport(), Qt::LeftButton, modifiers, QPoint(20, y));
    }

    static QRegularExpression Stamp()
    {
        return QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  "));
    }

    // Saves through the action's dialog, typing the path as a user would,
    // after checking where the dialog starts and the name it offers.
    bool SaveThrough(const char *action, const std::string &path, const QString &base, const QString &suffix,
                     const QString &fileType = {})
    {
        return WithModal<QFileDialog>([&] { Action(action)->trigger(); }, [&](QFileDialog *dialog) {
            if (!fileType.isEmpty()) {
                EXPECT_TRUE(dialog->nameFilters().contains(fileType)) << dialog->nameFilters().join('|').toStdString();
                dialog->selectNameFilter(fileType);
            }
            EXPECT_EQ(dialog->directory().absolutePath(),
                      QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)).absolutePath());
            EXPECT_EQ(dialog->findChild<QLineEdit *>("fileNameEdit")->text(),
                      base + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + suffix);
            dialog->findChild<QLineEdit *>("fileNameEdit")->setText(QString::fromStdString(path));
            static_cast<QDialog *>(dialog)->accept();
        });
    }

    TEventLog *log = nullptr;
};

} // namespace

TEST_F(LogWindow, EnlargingGivesAllRoomToTheLogAndTheToggleStillHidesIt)
{
    EXPECT_EQ(form->minimumSize(), QSize(544, 476));
    EXPECT_TRUE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    // Placed inside the screen, even where the designed position is not.
    const QRect area = form->screen()->availableGeometry();
    EXPECT_TRUE(area.contains(QRect(form->pos(), form->size()))) << form->pos().x() << "," << form->pos().y();

    form->resize(900, 700);
    Settle();
    EXPECT_EQ(Find("PageControl1")->geometry(), QRect(0, 0, 544, 401));
    EXPECT_EQ(log->geometry(), QRect(0, 401, 900, 297));
    form->resize(300, 200);   // not below the designed size
    EXPECT_EQ(form->size(), QSize(544, 476));

    form->resize(800, 600);
    auto *toggle = Find<QCheckBox>("CheckBox34");
    QTest::mouseClick(toggle, Qt::LeftButton, {}, QPoint(5, toggle->height() / 2));
    EXPECT_EQ(form->height() + TForm1::FrameExtra, TForm1::HeightWithoutLog);
    form->resize(800, 600);   // cannot be pulled open while the log is hidden
    EXPECT_EQ(form->height() + TForm1::FrameExtra, TForm1::HeightWithoutLog);
    QTest::mouseClick(toggle, Qt::LeftButton, {}, QPoint(5, toggle->height() / 2));
    EXPECT_EQ(form->height() + TForm1::FrameExtra, TForm1::HeightWithLog);
    EXPECT_EQ(log->geometry().height(), 73);
}

TEST_F(LogWindow, CopySaveAndClearGiveTheLinesAsShown)
{
    form->AddLogLine("R1: 12345678 S:3\x1e" "TKI:0");
    form->AddLogLine("Konfiguration geladen.");
    form->AddLogLine("\xc4nderung");   // 8-bit text
    form->AddLogLine("last");
    Settle();
    const QString first = QString::fromUtf8("R1: 12345678 S:3\u241eTKI:0");
    EXPECT_EQ(log->Content().VisibleText(0), first);

    // Click, shift-click and control-click select as in any list.
    ClickRow(0);
    ClickRow(2, Qt::ShiftModifier);
    ClickRow(1, Qt::ControlModifier);
    EXPECT_EQ(log->Selection().Rows(log->Content().RowCount()), (std::vector<int>{0, 2}));
    QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), first + "\n" + QString::fromUtf8("Änderung\n"));

    Action("LogCopyAll")->trigger();
    const QString all = first + QString::fromUtf8("\nKonfiguration geladen.\nÄnderung\nlast\n");
    EXPECT_EQ(QApplication::clipboard()->text(), all);

    // Saved as UTF-8, one line per entry, each after its time whether times
    // are shown or not; the dialog starts in the documents folder with a dated name.
    const std::string dir = std::filesystem::temp_directory_path() / ("kz-log-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(SaveThrough("LogSave", dir + "/plain.txt", "KarvenZop-Protokoll-", ".txt"));
    const QStringList saved = QString::fromStdString(ReadAll(dir + "/plain.txt")).split('\n');
    ASSERT_EQ(saved.size(), 5);
    EXPECT_TRUE(Stamp().match(saved[3]).hasMatch()) << saved[3].toStdString();
    EXPECT_EQ(saved[3].mid(25), QStringLiteral("last"));
    EXPECT_EQ(saved[2].mid(25), QString::fromUtf8("Änderung"));
    std::filesystem::remove_all(dir);

    Action("LogClear")->trigger();
    EXPECT_EQ(log->Content().Count(), 0);
    EXPECT_EQ(log->ItemIndex(), -1);
}

// Names from the substitution list in the window, off by default; the
// stored line stays as the decoder's line is logged; the table export
// quotes as RFC 4180 wants.
TEST_F(LogWindow, TelegramsShowNamesOnRequestAndExportAsTable)
{
    const std::string dir = std::filesystem::temp_directory_path() / ("kz-names-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/substi.txt") << "12345678=Florian Musterstadt 1/44-1\n6B7A0312=RTW \"S\xc3\xbc" "d\", Wache 2\n";
    Find<TValueListEditor>("ValueListEditor1")->LoadFromFile(dir + "/substi.txt");
    form->Protocol().HandleDecoderLine("1\x1eR\x1e" "2\x1e" "12345678\x1e" "3\x1e" "0\x1e" "1\x1e" "1\n");
    form->Protocol().HandleDecoderLine("1\x1eR\x1e" "2\x1e" "6B7A0312\x1e" "C\x1e" "2\x1e" "0\x1e" "2\x1e" "Sprechwunsch\n");
    form->Protocol().HandleDecoderLine("1\x1eR\x1e" "2\x1e" "0000AAAA\x1e" "5\x1e" "0\x1e" "1\x1e" "1\n");
    form->AddLogLine("hello");
    Settle();
    const QString first = QStringLiteral("R1: 12345678 S:3 TKI:0 BS:1 FZ->LS ");
    EXPECT_EQ(log->Content().VisibleText(0), first);

    Action("LogShowNames")->trigger();
    EXPECT_EQ(log->Content().VisibleText(0), first + QStringLiteral("  [Florian Musterstadt 1/44-1]"));
    EXPECT_EQ(log->Content().VisibleText(1), QString::fromUtf8("R1: 6B7A0312 S:C TKI:2 BS:0 FZ<-LS T: Sprechwunsch  "
                                                     "[RTW \"Süd\", Wache 2]"));
    EXPECT_EQ(log->Content().VisibleText(2), QStringLiteral("R1: 0000AAAA S:5 TKI:0 BS:1 FZ->LS "));   // not in the list
    EXPECT_EQ(log->Content().VisibleText(3), QStringLiteral("hello"));
    Action("LogCopyAll")->trigger();
    EXPECT_TRUE(QApplication::clipboard()->text().startsWith(first + QStringLiteral("  [Florian")));
    EXPECT_EQ(std::string(log->Content().Line(0)), first.toStdString());

    ASSERT_TRUE(SaveThrough("LogExportTelegrams", dir + "/t.csv", "KarvenZop-Telegramme-", ".csv"));
    const QStringList rows = QString::fromUtf8(ReadAll(dir + "/t.csv").c_str()).split(QStringLiteral("\r\n"));
    ASSERT_EQ(rows.size(), 5) << ReadAll(dir + "/t.csv");
    EXPECT_EQ(rows[0], QStringLiteral("Zeit,Kennung,Bezeichnung,Status,TKI,BS,Richtung,Text"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3},")).match(rows[1]).hasMatch())
        << rows[1].toStdString();
    EXPECT_EQ(rows[1].mid(24), QStringLiteral("12345678,Florian Musterstadt 1/44-1,3,0,1,FZ->LS,"));
    EXPECT_EQ(rows[2].mid(24), QString::fromUtf8("6B7A0312,\"RTW \"\"Süd\"\", Wache 2\",C,2,0,FZ<-LS,Sprechwunsch"));
    EXPECT_EQ(rows[3].mid(24), QStringLiteral("0000AAAA,,5,0,1,FZ->LS,"));
    EXPECT_EQ(rows[4], QString());
    EXPECT_EQ(ReadAll(dir + "/t.csv").substr(0, 4), "Zeit");   // the designed form has no byte-order mark

    // For German spreadsheet programs: ";" and a byte-order mark.
    ASSERT_TRUE(SaveThrough("LogExportTelegrams", dir + "/excel.csv", "KarvenZop-Telegramme-", ".csv",
                            QStringLiteral("CSV (Excel, Semikolon) (*.csv)")));
    const std::string excel = ReadAll(dir + "/excel.csv");
    ASSERT_EQ(excel.substr(0, 3), "\xEF\xBB\xBF");
    const QStringList excelRows = QString::fromUtf8(excel.substr(3).c_str()).split(QStringLiteral("\r\n"));
    ASSERT_EQ(excelRows.size(), 5) << excel;
    EXPECT_EQ(excelRows[0], QStringLiteral("Zeit;Kennung;Bezeichnung;Status;TKI;BS;Richtung;Text"));
    EXPECT_EQ(excelRows[2].mid(24), QString::fromUtf8("6B7A0312;\"RTW \"\"Süd\"\", Wache 2\";C;2;0;FZ<-LS;Sprechwunsch"));
    std::filesystem::remove_all(dir);
}

TEST_F(LogWindow, TimesAreRecordedAlwaysAndShownOnRequest)
{
    using namespace std::chrono;
    const auto now = [] { return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count(); };
    const int64_t before = now();
    form->AddLogLine("Firmware OK");
    const int64_t after = now();
    EXPECT_GE(log->Content().Time(0), before);
    EXPECT_LE(log->Content().Time(0), after);

    EXPECT_FALSE(Action("LogShowTimes")->isChecked());
    EXPECT_EQ(log->Content().VisibleText(0), "Firmware OK");   // as designed
    Action("LogShowTimes")->trigger();
    const QString time = QDateTime::fromMSecsSinceEpoch(log->Content().Time(0)).toString("yyyy-MM-dd HH:mm:ss.zzz");
    EXPECT_EQ(log->Content().VisibleText(0), time + "  Firmware OK");
    Action("LogShowTimes")->trigger();
    EXPECT_EQ(log->Content().VisibleText(0), "Firmware OK");
}

TEST_F(LogWindow, NewLinesFollowUntilTheUserLooksAtOlderOnes)
{
    for (int i = 0; i < 40; ++i)
        form->AddLogLine("line " + std::to_string(i));
    Settle();
    EXPECT_EQ(log->ItemIndex(), 39);
    EXPECT_GT(log->TopIndex(), 30);

    // An older line chosen with the keyboard stays chosen and in view.
    log->setFocus();
    QTest::keyClick(log, Qt::Key_Up);
    const int top = log->TopIndex();
    form->AddLogLine("line 40");
    Settle();
    EXPECT_EQ(log->ItemIndex(), 38);
    EXPECT_EQ(log->TopIndex(), top);
    // Back at the end, new lines are followed again.
    QTest::keyClick(log, Qt::Key_End);
    form->AddLogLine("line 41");
    Settle();
    EXPECT_EQ(log->ItemIndex(), 41);

    // Scrolling up detaches as well.
    log->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepSub);
    Settle();
    const int scrolled = log->TopIndex();
    form->AddLogLine("line 42");
    Settle();
    EXPECT_EQ(log->ItemIndex(), 41);
    EXPECT_EQ(log->TopIndex(), scrolled);
    log->verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMaximum);
    Settle();
    form->AddLogLine("line 43");
    Settle();
    EXPECT_EQ(log->ItemIndex(), 43);

    // Following switched off: lines arrive, nothing moves.
    Action("LogFollow")->trigger();
    EXPECT_FALSE(Action("LogFollow")->isChecked());
    form->AddLogLine("line 44");
    Settle();
    EXPECT_EQ(log->ItemIndex(), 43);
    Action("LogFollow")->trigger();   // on again: jumps to the end
    EXPECT_EQ(log->ItemIndex(), 44);
}

TEST_F(LogWindow, SearchBarFindsNextAndPreviousIgnoringCase)
{
    for (const char *line : {"Connecting on port /dev/ttyS0...", "R1: 1 S:3 TKI:0", "Firmware OK", "R1: 2 S:4 tki:1",
                             "Ende"})
        form->AddLogLine(line);
    log->setFocus();
    QTest::keyClick(log, Qt::Key_F, Qt::ControlModifier);
    auto *bar = Find("LogFindBar");
    auto *edit = Find<QLineEdit>("LogFindEdit");
    EXPECT_TRUE(bar->isVisible());
    EXPECT_TRUE(edit->hasFocus());
    QTest::keyClicks(edit, "Tki");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(log->ItemIndex(), 1);   // wraps round from the last line
    Find<QToolButton>("LogFindNext")->click();
    EXPECT_EQ(log->ItemIndex(), 3);
    Find<QToolButton>("LogFindPrevious")->click();
    EXPECT_EQ(log->ItemIndex(), 1);
    Find<QToolButton>("LogFindPrevious")->click();
    EXPECT_EQ(log->ItemIndex(), 3);

    edit->setText(QString::fromUtf8("\u241e"));   // a control picture finds the byte it stands for
    form->AddLogLine("A\x1e" "B");
    Find<QToolButton>("LogFindNext")->click();
    EXPECT_EQ(log->ItemIndex(), 5);
    edit->setText("nirgends");
    Find<QToolButton>("LogFindNext")->click();
    EXPECT_EQ(log->ItemIndex(), 5);
    EXPECT_EQ(Find<QLabel>("LogFindStatus")->text(), "Nicht gefunden");
    QTest::keyClick(edit, Qt::Key_Escape);
    EXPECT_FALSE(bar->isVisible());
}

// With a line wider than the log, at the designed size and enlarged, the
// search bar sits whole between the rows and the horizontal scroll bar,
// clear of the vertical one, and takes typing.
TEST_F(LogWindow, SearchBarStaysClearOfTheScrollBars)
{
    for (int i = 0; i < 60; ++i)
        form->AddLogLine("line " + std::to_string(i));
    form->AddLogLine(std::string(400, 'x'));   // in sight, as the newest
    log->setFocus();
    QTest::keyClick(log, Qt::Key_F, Qt::ControlModifier);
    auto *bar = Find("LogFindBar");
    auto *edit = Find<QLineEdit>("LogFindEdit");
    auto inLog = [&](QWidget *widget) { return QRect(widget->mapTo(log, QPoint(0, 0)), widget->size()); };
    for (const QSize size : {QSize(1000, 860 - TForm1::FrameExtra), QSize(544, 476)}) {
        form->resize(size);
        Settle();
        log->repaint();   // the widest line painted sets the horizontal range
        Settle();
        ASSERT_TRUE(log->horizontalScrollBar()->isVisible()) << size.width();
        ASSERT_TRUE(log->verticalScrollBar()->isVisible()) << size.width();
        ASSERT_TRUE(bar->isVisible());
        const QRect shown = inLog(bar);
        EXPECT_TRUE(log->contentsRect().contains(shown)) << size.width();
        EXPECT_FALSE(shown.intersects(inLog(log->horizontalScrollBar()))) << size.width();
        EXPECT_FALSE(shown.intersects(inLog(log->verticalScrollBar()))) << size.width();
        EXPECT_FALSE(shown.intersects(inLog(log->viewport()))) << size.width();
        EXPECT_TRUE(shown.contains(inLog(edit))) << size.width();
        EXPECT_GT(edit->width(), 40);
    }
    QTest::keyClicks(edit, "line 3");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(log->ItemIndex(), 3);
}

// The find bar's filter keeps the telegram lines of one identifier, status
// or direction, lines arriving meanwhile included; closed, all lines are back.
TEST_F(LogWindow, FilterKeepsMatchingTelegramsOnly)
{
    auto telegram = [&](const std::string &identifier, char status, char direction) {
        form->Protocol().HandleDecoderLine("1\x1eR\x1e" "2\x1e" + identifier + "\x1e" + status + "\x1e" "0\x1e" "1\x1e" +
                                           direction + "\n");
    };
    auto shown = [&] {
        Action("LogCopyAll")->trigger();
        return QApplication::clipboard()->text();
    };
    telegram("12345678", '3', '1');
    form->AddLogLine("Konfiguration geladen.");
    telegram("6B7A0312", 'C', '2');
    telegram("12345678", '4', '2');
    Settle();
    const QString all = shown();

    log->setFocus();
    QTest::keyClick(log, Qt::Key_F, Qt::ControlModifier);
    auto *filter = Find<QLineEdit>("LogFilterEdit");
    QTest::keyClicks(filter, "12345678");
    EXPECT_EQ(shown(), "R1: 12345678 S:3 TKI:0 BS:1 FZ->LS \nR1: 12345678 S:4 TKI:0 BS:1 FZ<-LS \n");
    EXPECT_EQ(QAccessible::queryAccessibleInterface(log)->childCount(), 2);
    EXPECT_EQ(log->ItemIndex(), 1);   // still following the newest shown line

    telegram("12345678", '5', '1');
    telegram("0000AAAA", '5', '1');
    form->AddLogLine("hello");
    Settle();
    EXPECT_EQ(log->Content().RowCount(), 3);
    EXPECT_EQ(log->Content().Text(log->Content().LineOf(log->ItemIndex())), "R1: 12345678 S:5 TKI:0 BS:1 FZ->LS ");

    filter->setText("fz<-ls");
    EXPECT_EQ(shown(), "R1: 6B7A0312 S:C TKI:0 BS:1 FZ<-LS \nR1: 12345678 S:4 TKI:0 BS:1 FZ<-LS \n");
    filter->setText("1234");   // half typed: all lines, and the bar says why
    EXPECT_EQ(log->Content().RowCount(), log->Content().Count());
    EXPECT_EQ(Find<QLabel>("LogFindStatus")->text(), QString::fromUtf8("Filter unvollständig"));
    filter->setText("S:5");
    EXPECT_EQ(log->Content().RowCount(), 2);
    EXPECT_EQ(Find<QLabel>("LogFindStatus")->text(), "");
    QTest::keyClick(log, Qt::Key_Home);
    QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "R1: 12345678 S:5 TKI:0 BS:1 FZ->LS \n");

    QTest::keyClick(filter, Qt::Key_Escape);
    EXPECT_EQ(filter->text(), "");
    EXPECT_EQ(shown(), all + "R1: 12345678 S:5 TKI:0 BS:1 FZ->LS \nR1: 0000AAAA S:5 TKI:0 BS:1 FZ->LS \nhello\n");
    EXPECT_EQ(log->ItemIndex(), 4);   // the line chosen under the filter stays chosen
}

TEST_F(LogWindow, AccessibleListShowsItemsAndSelection)
{
    form->AddLogLine("first");
    form->AddLogLine("second\x1e");
    Settle();
    QAccessibleInterface *list = QAccessible::queryAccessibleInterface(log);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->role(), QAccessible::List);
    ASSERT_EQ(list->childCount(), 2);
    QAccessibleInterface *item = list->child(1);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->role(), QAccessible::ListItem);
    EXPECT_EQ(item->text(QAccessible::Name), QString::fromUtf8("second\u241e"));
    EXPECT_TRUE(item->state().selected);
    EXPECT_FALSE(list->child(0)->state().selected);
    EXPECT_EQ(list->indexOfChild(item), 1);
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    log->setFocus();
    EXPECT_EQ(list->focusChild(), item);
    EXPECT_TRUE(item->state().focused);
}

TEST_F(LogWindow, LongLineIsBoundedOnScreenAndWholeOnCopy)
{
    const std::string longLine(200000, 'x');
    form->AddLogLine(longLine);
    Settle();
    log->repaint();
    const QString shown = QAccessible::queryAccessibleInterface(log)->child(0)->text(QAccessible::Name);
    EXPECT_EQ(shown.size(), DisplayTextLimit);
    EXPECT_TRUE(shown.endsWith(QChar(0x2026)));
    QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text().size(), 200001);
}

TEST_F(LogWindow, OutsideTextIsShownAsPlainText)
{
    // A decoder reply that looks like markup, and one of a megabyte.
    form->Protocol().AssembleDecoderLines("0\x1e" "C\x1e" "GF\x1e" "<h1>4.69</h1>\n\r");
    auto *field = Find<TStaticText>("StaticText7");
    EXPECT_EQ(field->textFormat(), Qt::PlainText);
    EXPECT_EQ(field->text(), "<h1>4.69</h1>");
    field->setText(QString(1 << 20, QLatin1Char('9')));
    EXPECT_EQ(field->DisplayedText().size(), DisplayTextLimit);
    EXPECT_EQ(field->text().size(), 1 << 20);
    EXPECT_EQ(Find<QLabel>("StaticText1")->textFormat(), Qt::PlainText);

    // A server's status line in an error box.
    InstallDefaultErrorHandler([]() -> QWidget * { return nullptr; });
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::TextFormat format = Qt::AutoText;
    QString text;
    WithModal<QMessageBox>([] { Guarded([] { throw Exception("404 <h1>Update server hacked</h1>"); }); },
                           [&](QMessageBox *box) {
                               icon = box->icon();
                               format = box->textFormat();
                               text = box->text();
                               box->accept();
                           });
    SetDefaultExceptionHandler(nullptr);
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(text, "404 <h1>Update server hacked</h1>.");
}

TEST_F(LogWindow, ServicePromptHidesThePasswordAndShowsItsTitle)
{
    const bool seen = WithModal<QInputDialog>([&] { Find<QPushButton>("BitBtn5")->click(); },
                                              [&](QInputDialog *dialog) {
                                                  EXPECT_EQ(dialog->textEchoMode(), QLineEdit::Password);
                                                  EXPECT_GT(dialog->width(),
                                                            dialog->fontMetrics().horizontalAdvance("Service Modus") + 100);
                                                  dialog->reject();
                                              });
    EXPECT_TRUE(seen);
}

TEST(ToolkitTranslation, GermanStandardButtons)
{
    QTranslator *german = InstallToolkitTranslation(QLocale(QLocale::German, QLocale::Germany));
    ASSERT_NE(german, nullptr) << "qtbase_de.qm missing (qt6-translations-l10n)";
    QMessageBox box(QMessageBox::Question, "t", "x", QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), "Abbrechen");
    QCoreApplication::removeTranslator(german);
    delete german;
    EXPECT_EQ(QMessageBox(QMessageBox::Question, "t", "x", QMessageBox::Cancel).button(QMessageBox::Cancel)->text(),
              "Cancel");
}

TEST(Lamps, EnlargedPixelByPixelForTheScreen)
{
    const QImage small = TransparentLedPixmap(LedPicture(lkBlueLight, true)).toImage();
    const QPixmap sharp = LedPixmapForRatio(QPixmap::fromImage(small), 2.0);
    EXPECT_EQ(sharp.size(), QSize(30, 30));
    EXPECT_EQ(sharp.deviceIndependentSize(), QSizeF(15, 15));
    const QImage big = sharp.toImage();
    int differing = 0;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 30; ++x)
            differing += big.pixel(x, y) != small.pixel(x / 2, y / 2);
    EXPECT_EQ(differing, 0);
}
