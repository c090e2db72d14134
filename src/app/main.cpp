#include "errorbox.h"
#include "errorhandler.h"
#include "tform1.h"

#include <QApplication>

#include <memory>

namespace {
TForm1 *Form1 = nullptr;
QWidget *MainWindow() { return Form1; }
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
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
    return rc;
}
