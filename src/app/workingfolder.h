#pragma once

#include <QList>

class QWidget;

// The folder the tool keeps substi.txt, firmware.acy, ZOP-Update.exe in
// (the working directory: %APPDATA%\KarvenZop or ~/.local/share/karvenzop
// when started from the menu) is hidden from a user's usual view: a context
// menu entry "Arbeitsordner öffnen" on the given widgets shows it in the
// system's file manager (Explorer on Windows).
void AttachWorkingFolderEntry(QWidget *parent, const QList<QWidget *> &widgets);
