#include "portlist.h"

#include "serialerror.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string DriverName(const std::string &ttyDir)
{
    char target[PATH_MAX];
    const ssize_t n = readlink((ttyDir + "/device/driver").c_str(), target, sizeof target - 1);
    if (n <= 0)
        return {};
    target[n] = '\0';
    const std::string path(target);
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool HasDriver(const std::string &ttyDir)
{
    struct stat st{};
    return stat((ttyDir + "/device/driver").c_str(), &st) == 0;
}

// The 8250 driver registers a fixed number of ports whether or not a UART
// sits behind them; only those with a known UART type exist.
bool IsPlaceholderUart(const std::string &ttyDir)
{
    std::ifstream in(ttyDir + "/type");
    int type = -1;
    return in >> type && type == 0;
}

} // namespace

std::vector<std::string> EnumeratePorts(const std::string &sysfsRoot)
{
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(sysfsRoot.c_str()), closedir);
    if (!dir)
        RaiseSerialError(23, errno);

    std::vector<std::string> ports;
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(dir.get());
        if (!entry) {
            if (errno != 0)
                RaiseSerialError(23, errno);
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string ttyDir = sysfsRoot + "/" + name;
        // Consoles and virtual terminals have no device behind them.
        if (!HasDriver(ttyDir))
            continue;
        if (DriverName(ttyDir) == "serial8250" && IsPlaceholderUart(ttyDir))
            continue;
        ports.push_back("/dev/" + name);
    }

    if (const char *extra = std::getenv("KARVENZOP_PORTS")) {
        const std::string list = extra;
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(':', start);
            if (end == std::string::npos)
                end = list.size();
            if (end > start)
                ports.push_back(list.substr(start, end - start));
            start = end + 1;
        }
    }
    // A device under /sys may also be named in KARVENZOP_PORTS, directly or
    // through a link (/dev/serial/by-id/...): list it once, under the name
    // that came first. Paths that do not resolve are compared as written.
    std::vector<std::string> unique;
    std::vector<std::string> seen;
    for (std::string &port : ports) {
        char resolved[PATH_MAX];
        std::string key = realpath(port.c_str(), resolved) ? std::string(resolved) : port;
        if (std::find(seen.begin(), seen.end(), key) != seen.end())
            continue;
        seen.push_back(std::move(key));
        unique.push_back(std::move(port));
    }
    SortPortNames(unique);
    return unique;
}
