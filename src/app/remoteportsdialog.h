#pragma once

#include <string>
#include <vector>

class QWidget;
class TPortComboBox;

// Remote ports (rfc2217://HOST:PORT, rfc2217+tls://HOST:PORT) the port box
// lists besides the local ones, kept in the user's setting RemotePorts: a
// context menu entry "Ferngeräte…" on the box opens a small dialog. Without
// any the box and its default stay as designed.
void AttachRemotePortsSetting(QWidget *dialogParent, TPortComboBox *box);

// The dialog itself; false when cancelled.
bool EditRemotePorts(QWidget *parent);

// The names kept in the setting, each a valid remote port name.
std::vector<std::string> StoredRemotePorts();
