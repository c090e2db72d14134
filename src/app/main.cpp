#include "errorbox.h"
#include "errorhandler.h"
#include "resourcestring.h"
#include "serialport.h"
#include "tform1.h"
#include "toolkittranslation.h"

#include <QApplication>

#include <memory>

namespace {
TForm1 *Form1 = nullptr;
QWidget *MainWindow() { return Form1; }
} // namespace

int main(int argc, char *argv[])
{
    // Library messages are looked up in catalogues below the program's
    // folder; set up before anything can raise one.
    InitializeTranslation(ResolvedProgramPath());
    TSerialPort::RegisterMessageDomain();

    QApplication app(argc, argv);
    InstallToolkitTranslation();
    ApplyWindowFont();
    InstallDefaultErrorHandler(&MainWindow);

    std::unique_ptr<TForm1> window;
    try {
        window = std::make_unique<TForm1>();
    } catch (...) {
        // Without the window there is nothing to run: report and end.
        HandleCurrentException();
        return 1;
    }
    Form1 = window.get();
    window->show();
    const int rc = app.exec();
    Form1 = nullptr;
    window.reset();
    FinalizeTranslation();
    return rc;
}
