#include "errorbox.h"

#include "displaytext.h"
#include "errorhandler.h"
#include "exception.h"
#include "text8bit.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

QString ApplicationTitle(const QString &executablePath)
{
    QString name = QFileInfo(executablePath).fileName();
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    if (dot >= 0)
        name.truncate(dot);
    if (name.size() > 1)
        name = name.left(1) + name.mid(1).toLower();
    return name;
}

QString AnsiToQString(const std::string &text)
{
    return QString::fromStdString(TextToUtf8(text));
}

QString ErrorBoxText(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return AnsiToQString(WithFinalFullStop(e.what()));
    } catch (...) {
        return QStringLiteral("Unknown error.");
    }
}

namespace {
// One of the system's extra texts of an exception; empty for others.
QString ExtraText(std::exception_ptr error, const std::string &(Exception::*text)() const noexcept)
{
    try {
        std::rethrow_exception(error);
    } catch (const Exception &e) {
        return AnsiToQString((e.*text)());
    } catch (...) {
        return {};
    }
}
} // namespace

QString ErrorBoxDetails(std::exception_ptr error)
{
    return ExtraText(error, &Exception::Details);
}

QString ErrorBoxInformative(std::exception_ptr error)
{
    return ExtraText(error, &Exception::Informative);
}

namespace {
// Messages carry outside text (a server's status line, a file's bytes): shown
// as it is, never as markup, and bounded in length.
void ShowBox(QMessageBox::Icon icon, const char *name, const QString &text, QWidget *parent,
             const QString &details = {}, const QString &informative = {})
{
    QMessageBox box(icon, ApplicationTitle(QCoreApplication::applicationFilePath()), QString(), QMessageBox::Ok, parent);
    box.setObjectName(QString::fromLatin1(name));
    box.setTextFormat(Qt::PlainText);
    box.setText(BoundForDisplay(text));
    if (!informative.isEmpty())
        box.setInformativeText(BoundForDisplay(informative));
    if (!details.isEmpty())
        box.setDetailedText(BoundForDisplay(details));
    box.exec();
}
} // namespace

void ShowErrorBox(const QString &text, QWidget *parent, const QString &details, const QString &informative)
{
    ShowBox(QMessageBox::Critical, "ErrorBox", text, parent, details, informative);
}

void ShowMessage(const QString &text, QWidget *parent, const QString &informative)
{
    ShowBox(QMessageBox::NoIcon, "MessageBox", text, parent, {}, informative);
}

bool AskBeforeProceeding(const QString &text, const QString &proceed, QWidget *parent, const QString &name,
                         const QString &title, QMessageBox::Icon icon)
{
    QMessageBox box(icon,
                    title.isEmpty() ? ApplicationTitle(QCoreApplication::applicationFilePath()) : title, QString(),
                    QMessageBox::NoButton, parent);
    box.setObjectName(name + QStringLiteral("Box"));
    box.setTextFormat(Qt::PlainText);
    box.setText(BoundForDisplay(text));
    QPushButton *yes = box.addButton(proceed, QMessageBox::AcceptRole);
    yes->setObjectName(name + QStringLiteral("Yes"));
    QPushButton *no = box.addButton(QStringLiteral("Abbrechen"), QMessageBox::RejectRole);
    no->setObjectName(name + QStringLiteral("No"));
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

void InstallDefaultErrorHandler(QWidget *parentProvider())
{
    SetDefaultExceptionHandler([parentProvider](std::exception_ptr error) {
        ShowErrorBox(ErrorBoxText(error), parentProvider ? parentProvider() : nullptr, ErrorBoxDetails(error),
                     ErrorBoxInformative(error));
    });
}
