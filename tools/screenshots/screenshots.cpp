// Saves a PNG of each page of the main window: screenshots <folder>.
#include "tform1.h"

#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QTest>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
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
        QTest::qWait(150);
        const QString name = QStringLiteral("%1/page%2-%3.png").arg(folder).arg(i + 1).arg(pages->widget(i)->objectName());
        if (!form.grab().save(name)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(name));
            return 1;
        }
        std::printf("%s\n", qPrintable(name));
    }
    return 0;
}
