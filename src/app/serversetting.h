#pragma once

#include <QList>

class QWidget;

// The update server named from the window (the key UpdateServer of the
// user's settings): a context menu entry "Update-Server…" on the given
// widgets (the status line and the update buttons) opens a small dialog;
// nothing of the designed layout changes. The core then reads the setting
// through the toolkit, the same store karvenzop-cli reads.
void AttachUpdateServerSetting(QWidget *dialogParent, const QList<QWidget *> &widgets);

// The dialog itself; false when cancelled.
bool EditUpdateServer(QWidget *parent);
