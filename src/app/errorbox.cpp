#include "errorbox.h"

#include "errorhandler.h"
#include "exception.h"
#include "textforms.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
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
    if (IsValidUtf8(text))
        return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
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

QString ErrorBoxDetails(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const Exception &e) {
        return AnsiToQString(e.Details());
    } catch (...) {
        return {};
    }
}

void ShowErrorBox(const QString &text, QWidget *parent, const QString &details)
{
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(QCoreApplication::applicationFilePath()), text,
                    QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("ErrorBox"));
    if (!details.isEmpty())
        box.setDetailedText(details);
    box.exec();
}

void ShowMessage(const QString &text, QWidget *parent)
{
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(QCoreApplication::applicationFilePath()), text,
                    QMessageBox::Ok, parent);
    box.exec();
}

void InstallDefaultErrorHandler(QWidget *parentProvider())
{
    SetDefaultExceptionHandler([parentProvider](std::exception_ptr error) {
        ShowErrorBox(ErrorBoxText(error), parentProvider ? parentProvider() : nullptr, ErrorBoxDetails(error));
    });
}
