#include "windowplatform.h"

#include "exception.h"

#include <cstdlib>

const char *const StoredPortName = "/dev/ttyS3";
const char *const StoredPortBoxText = "/dev/ttyS0";
const char *const SavedLineEnd = "\n";

void UseStartingConsole() {}

ProgramCopy ProgramCopyKind(const std::filesystem::path &) { return ProgramCopy::Packaged; }

bool StartInstaller(const std::filesystem::path &, const std::string &, std::string &reason)
{
    reason = "not on this system";
    return false;
}

std::filesystem::path MenuStartDataFolder()
{
    // A relative XDG_DATA_HOME is invalid and ignored, as the XDG rules say.
    if (const char *data = std::getenv("XDG_DATA_HOME"); data && std::filesystem::path(data).is_absolute())
        return std::filesystem::path(data) / "karvenzop";
    if (const char *home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local" / "share" / "karvenzop";
    throw Exception("Cannot find the data folder: neither XDG_DATA_HOME nor HOME is set");
}
