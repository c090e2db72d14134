#include "errorbox.h"

#include "errorhandler.h"
#include "exception.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QWidget>

namespace {

bool IsValidUtf8(const std::string &s)
{
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t extra;
        if (c < 0x80) { ++i; continue; }
        if (c >= 0xC2 && c <= 0xDF) extra = 1;
        else if (c >= 0xE0 && c <= 0xEF) extra = 2;
        else if (c >= 0xF0 && c <= 0xF4) extra = 3;
        else return false;
        if (i + extra >= n)
            return false;
        for (size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += extra + 1;
    }
    return true;
}

} // namespace

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

void ShowErrorBox(const QString &text, QWidget *parent)
{
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(QCoreApplication::applicationFilePath()), text,
                    QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("ErrorBox"));
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
        ShowErrorBox(ErrorBoxText(error), parentProvider ? parentProvider() : nullptr);
    });
}
