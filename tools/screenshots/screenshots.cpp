// Saves a PNG of each page of the main window, then one of the window
// enlarged with the log's times shown and its search bar open:
// screenshots <folder>.
#include "eventlog.h"
#include "tform1.h"
#include "toolkittranslation.h"

#include <QAction>
#include <QApplication>
#include <QInputDialog>
#include <QPushButton>
#include <QContextMenuEvent>
#include <QScreen>
#include <QTimer>
#include <QDir>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>

#include <cstdio>

namespace {

bool Save(QWidget &form, const QString &name)
{
    QTest::qWait(150);
    if (!form.grab().save(name)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(name));
        return false;
    }
    std::printf("%s\n", qPrintable(name));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    InstallToolkitTranslation();
    ApplyWindowFont();
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(folder);

    TForm1 form;
    form.AddLogLine("R1: 12345678 S:3 TKI:0 BS:1 FZ->LS ");
    form.AddLogLine("Serial number: A1234");
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) {
        std::fprintf(stderr, "the window was never shown\n");
        return 1;
    }
    auto *pages = form.findChild<QTabWidget *>(QStringLiteral("PageControl1"));
    for (int i = 0; i < pages->count(); ++i) {
        pages->setCurrentIndex(i);
        if (!Save(form, QStringLiteral("%1/page%2-%3.png").arg(folder).arg(i + 1).arg(pages->widget(i)->objectName())))
            return 1;
    }

    // Enlarged, with a bootloader report, control bytes, times and a search.
    pages->setCurrentIndex(0);
    form.resize(860, 640);
    form.AddLogLine("Connecting on port /dev/ttyUSB0...");
    TEventLog *log = form.EventLog();
    log->Append("Connection                     : 2-Wire");
    log->Append("FLASH data must be encrypted   :     No");
    log->Append("EEPROM data must be encrypted  :     No");
    log->Append("Info                           : KARVEN radio-status decoder");
    for (int i = 0; i < 6; ++i)
        form.AddLogLine("0\x1e" "C\x1e" "R1\x1e" + std::to_string(12345670 + i) + "\x1e" "3\x1e" "TKI:" + std::to_string(i));
    form.AddLogLine("Firmware OK");
    log->findChild<QAction *>(QStringLiteral("LogShowTimes"))->trigger();
    log->findChild<QAction *>(QStringLiteral("LogShowNames"))->trigger();
    log->FindBar().Open();
    log->findChild<QLineEdit *>(QStringLiteral("LogFindEdit"))->setText(QStringLiteral("tki"));
    log->FindBar().FindNext();
    if (!Save(form, QStringLiteral("%1/enlarged-times-search.png").arg(folder)))
        return 1;
    // A line wider than the log brings the horizontal scroll bar: the search bar stays above it.
    form.resize(1000, TForm1::HeightWithLog - TForm1::FrameExtra + 350);
    form.AddLogLine("R1: " + std::string(300, '-') + " Ende");
    if (!Save(form, QStringLiteral("%1/long-line-search.png").arg(folder)))
        return 1;

    // The log's context menu over a selection of several lines, with the
    // focus frame on the current one; the menu is a window of its own, so
    // the whole screen is taken.
    log->FindBar().Close();
    log->setFocus();
    log->SetItemIndex(3);
    QTest::keyClick(log, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(log, Qt::Key_Down, Qt::ShiftModifier);
    form.activateWindow();
    // Without a window manager the window may never become active; the
    // picture is still worth taking.
    (void)QTest::qWaitForWindowActive(&form);
    if (!Save(form, QStringLiteral("%1/log-selection-focus.png").arg(folder)))
        return 1;
    const QPoint at = log->viewport()->mapToGlobal(QPoint(200, 5 * TEventLog::RowHeight));
    bool saved = false;
    QTimer::singleShot(400, [&] {
        const QString name = QStringLiteral("%1/log-menu.png").arg(folder);
        saved = form.screen()->grabWindow(0).save(name);
        std::printf("%s\n", qPrintable(name));
        if (QWidget *menu = QApplication::activePopupWidget())
            menu->close();
    });
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, log->viewport()->mapFromGlobal(at), at);
    QApplication::sendEvent(log->viewport(), &menuEvent);
    if (!saved)
        return 1;

    // The status line's context menu on the firmware page, with the entry
    // that names the update server.
    pages->setCurrentIndex(4);
    QWidget *status = form.findChild<QWidget *>(QStringLiteral("StaticText1"));
    saved = false;
    QTimer::singleShot(400, [&] {
        const QString name = QStringLiteral("%1/status-line-menu.png").arg(folder);
        saved = form.screen()->grabWindow(0).save(name);
        std::printf("%s\n", qPrintable(name));
        if (QWidget *menu = QApplication::activePopupWidget())
            menu->close();
    });
    const QPoint statusAt = status->mapToGlobal(QPoint(40, 8));
    QContextMenuEvent statusMenu(QContextMenuEvent::Mouse, QPoint(40, 8), statusAt);
    QApplication::sendEvent(status, &statusMenu);
    if (!saved)
        return 1;
    pages->setCurrentIndex(0);

    // The service prompt with a password typed (in the user's language).
    saved = false;
    QTimer::singleShot(400, [&] {
        auto *prompt = qobject_cast<QInputDialog *>(QApplication::activeModalWidget());
        if (!prompt)
            return;
        prompt->setTextValue(QStringLiteral("geheim"));
        QTest::qWait(100);
        const QString name = QStringLiteral("%1/service-prompt.png").arg(folder);
        saved = form.screen()->grabWindow(0).save(name);
        std::printf("%s\n", qPrintable(name));
        prompt->reject();
    });
    form.findChild<QPushButton *>(QStringLiteral("BitBtn5"))->click();
    return saved ? 0 : 1;
}
