#include "toolupdate.h"

#include "errorbox.h"
#include "fileio.h"
#include "updateservice.h"
#include "windowplatform.h"

#include <QDir>
#include <QFileInfo>

#include <cstdlib>
#include <filesystem>

namespace {
QString Native(const QString &path) { return QDir::toNativeSeparators(path); }
} // namespace

QString ToolUpdateFinish::Informative(bool isSigned, ProgramCopy copy, const QString &saved) const
{
    QString text = QStringLiteral("Gespeichert als %1.").arg(Native(saved));
    if (copy == ProgramCopy::Packaged)
        return text;
    text += QLatin1Char('\n');
    const QString folder = Native(programFolder_);
    if (copy == ProgramCopy::Installed) {
        // Renaming below "Program Files" needs administrator rights; the
        // installer asks for them itself.
        text += isSigned ? QStringLiteral("Diese Kopie ist installiert (%1): ZOP-Update.exe installiert die neue "
                                          "Version. Die nächste Frage startet sie.")
                               .arg(folder)
                         : QStringLiteral("Diese Kopie ist installiert (%1). ZOP-Update.exe ist nicht signiert und "
                                          "wird nicht von hier gestartet; nur wer ihrer Herkunft traut, startet "
                                          "sie selbst.")
                               .arg(folder);
        return text;
    }
    const QString savedFolder = QFileInfo(saved).absolutePath();
    if (QDir(savedFolder) == QDir(programFolder_))
        text += QStringLiteral("ZOP-Verzeichnis: %1. Nach dem Beenden dort KarvenZop.exe durch ZOP-Update.exe "
                               "ersetzen: KarvenZop.exe löschen, ZOP-Update.exe in KarvenZop.exe umbenennen.")
                    .arg(folder);
    else
        text += QStringLiteral("ZOP-Verzeichnis: %1. Nach dem Beenden ZOP-Update.exe dorthin verschieben und dort "
                               "KarvenZop.exe durch sie ersetzen: KarvenZop.exe löschen, ZOP-Update.exe in "
                               "KarvenZop.exe umbenennen.")
                    .arg(folder);
    return text;
}

bool ToolUpdateFinish::Run(const session::SignedDownload &tool, const std::string &savedFile)
{
    const QString saved = QString::fromLocal8Bit(savedFile.c_str());
    const ProgramCopy copy = ProgramCopyKind(std::filesystem::path(programFolder_.toStdWString()));
    ShowMessage(QStringLiteral("Bitte ZOP beenden und Datei ZOP-Update.exe im ZOP-Verzeichnis umbenennen!"), window_,
                Informative(tool.isSigned, copy, saved));
    if (copy != ProgramCopy::Installed || !tool.isSigned)
        return false;
    if (!AskBeforeProceeding(QStringLiteral("Update jetzt installieren?\n\nZOP wird dazu beendet."),
                             QStringLiteral("Installieren"), window_, QStringLiteral("InstallUpdate"),
                             QStringLiteral("Neue ZOP herunterladen"), QMessageBox::Question))
        return false;
    // What is started must be what was checked: the file could have been
    // changed since it was saved.
    if (LoadFileBytes(savedFile, tool.bytes.size()) != tool.bytes) {
        ShowErrorBox(QStringLiteral("ZOP-Update.exe wurde nach dem Speichern verändert und wird nicht gestartet."),
                     window_, {}, Native(saved));
        return false;
    }
    const char *arguments = std::getenv("KARVENZOP_UPDATE_ARGUMENTS");
    std::string reason;
    if (!StartInstaller(std::filesystem::path(saved.toStdWString()), arguments ? arguments : "", reason)) {
        ShowErrorBox(QStringLiteral("ZOP-Update.exe kann nicht gestartet werden."), window_, {},
                     Native(saved) + QStringLiteral(": ") + QString::fromLocal8Bit(reason.c_str()));
        return false;
    }
    return true;
}
