#pragma once

// What the window does differently per system.

#include <filesystem>
#include <string>

// The port names stored in the window definition: the port component's
// "COM4" and the port box's "COM1" (on Linux their stand-ins /dev/ttyS3
// and /dev/ttyS0).
extern const char *const StoredPortName;
extern const char *const StoredPortBoxText;

// The line end of a saved log: the system's own ("\r\n" on Windows).
extern const char *const SavedLineEnd;

// A window program on Windows starts without a console: what --help,
// --version and a refused argument print goes to the console it was started
// from, unless its output was redirected anyway. Elsewhere nothing to do.
void UseStartingConsole();

// Where a start from the menu keeps the tool's files: $XDG_DATA_HOME/karvenzop
// (~/.local/share/karvenzop), on Windows %APPDATA%\KarvenZop. Raises when
// the system names no such place.
std::filesystem::path MenuStartDataFolder();

// How this copy of the program is replaced by a new version: an installed
// copy on Windows (the installer put its uninstaller beside the program)
// cannot be renamed in its folder without administrator rights, a new
// version installs itself instead; an unpacked ZIP copy is renamed in its
// folder; on Linux the package manager updates the tool.
enum class ProgramCopy { Installed, Unpacked, Packaged };
ProgramCopy ProgramCopyKind(const std::filesystem::path &programFolder);

// Starts the saved installer as the user would by double-clicking it, so
// the system asks for elevation; `arguments` as given (empty for the
// installer's pages). False with the system's reason when it did not start.
bool StartInstaller(const std::filesystem::path &installer, const std::string &arguments, std::string &reason);
