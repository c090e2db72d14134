#pragma once

// What the window does differently per system.

#include <filesystem>

// The port names stored in the window definition: the port component's
// "COM4" and the port box's "COM1" (on Linux their stand-ins /dev/ttyS3
// and /dev/ttyS0).
extern const char *const StoredPortName;
extern const char *const StoredPortBoxText;

// A window program on Windows starts without a console: what --help,
// --version and a refused argument print goes to the console it was started
// from, unless its output was redirected anyway. Elsewhere nothing to do.
void UseStartingConsole();

// Where a start from the menu keeps the tool's files: $XDG_DATA_HOME/karvenzop
// (~/.local/share/karvenzop), on Windows %APPDATA%\KarvenZop. Raises when
// the system names no such place.
std::filesystem::path MenuStartDataFolder();

// What the log adds after the message about the downloaded ZOP-Update.exe:
// how the tool is updated on this system; empty where the file is the way.
extern const char *const ToolUpdateNote;
