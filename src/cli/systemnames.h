#pragma once

#include <string>

// Names the system gives, per system.
namespace cli {

// The machine's host name; empty when the system has none.
std::string HostName();

// Where a user's program keeps state that must survive restarts:
// $STATE_DIRECTORY (set by systemd's StateDirectory=), else
// $XDG_STATE_HOME/karvenzop or ~/.local/state/karvenzop; on Windows
// %LOCALAPPDATA%\KarvenZop. Empty when none can be found.
std::string StateFolder();

// Where a download is saved unless a folder is given: on Windows the user's
// data folder %APPDATA%\KarvenZop, the window's when started from the menu
// (the program's own folder below "Program Files" is not the user's to
// write); elsewhere the working folder (empty).
std::string DownloadFolder();

} // namespace cli
