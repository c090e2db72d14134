#include "systemnames.h"

#include <cstdlib>

#include <windows.h>

namespace cli {

std::string HostName()
{
    char name[256] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size))
        return {};
    return std::string(name, size);
}

std::string StateFolder()
{
    const char *local = std::getenv("LOCALAPPDATA");
    return local && *local ? std::string(local) + "\\KarvenZop" : std::string();
}

std::string DownloadFolder()
{
    const char *roaming = std::getenv("APPDATA");
    return roaming && *roaming ? std::string(roaming) + "\\KarvenZop" : std::string();
}

} // namespace cli
