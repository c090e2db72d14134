#include "systemnames.h"

#include <cstdlib>

#include <unistd.h>

namespace cli {

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

std::string StateFolder()
{
    auto variable = [](const char *name) {
        const char *value = std::getenv(name);
        return std::string(value ? value : "");
    };
    // systemd may list several folders, separated by ":"; ours is the first.
    const std::string service = variable("STATE_DIRECTORY");
    if (!service.empty())
        return service.substr(0, service.find(':'));
    const std::string xdg = variable("XDG_STATE_HOME");
    if (!xdg.empty() && xdg[0] == '/')
        return xdg + "/karvenzop";
    const std::string home = variable("HOME");
    if (!home.empty())
        return home + "/.local/state/karvenzop";
    return {};
}

std::string DownloadFolder() { return {}; }

} // namespace cli
