#pragma once

#include "windowplatform.h"

#include <QString>

#include <string>

class QWidget;

namespace session {
struct SignedDownload;
}

// After ZOP-Update.exe was saved in the working folder: the designed box,
// with the folder it is in and the step that works for this copy below it.
// An installed copy offers to start a signed installer ("Update jetzt
// installieren?", "Abbrechen" the default); the window then closes and the
// system's elevation prompt takes over. An unsigned file is never started.
// An unpacked copy keeps the designed rename in its own folder.
// KARVENZOP_UPDATE_ARGUMENTS, when set, is passed to the installer (/S for
// an unattended update).
class ToolUpdateFinish {
public:
    ToolUpdateFinish(QWidget *window, const QString &programFolder) : window_(window), programFolder_(programFolder) {}

    // True when the installer was started and the window should close.
    bool Run(const session::SignedDownload &tool, const std::string &savedFile);

    // The box's informative text for this copy.
    QString Informative(bool isSigned, ProgramCopy copy, const QString &saved) const;

private:
    QWidget *window_;
    QString programFolder_;
};
