#include "portlist.h"
#include "remoteportname.h"

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

// The file a path names after all links, or empty when it does not resolve.
std::string Resolved(const std::string &path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::vector<std::string> ConfiguredPaths()
{
    const char *extra = std::getenv("KARVENZOP_PORTS");
    return SplitPortList(extra ? extra : "");
}

} // namespace

std::vector<std::string> PortFolders()
{
    std::vector<std::string> folders = {"/dev", "/dev/serial/by-id"};
    for (const std::string &path : ConfiguredPaths()) {
        if (IsRemotePortName(path))
            continue; // nothing on this machine to watch
        const size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        if (std::find(folders.begin(), folders.end(), folder) == folders.end())
            folders.push_back(folder);
    }
    return folders;
}

std::vector<std::string> EnumeratePorts(const std::string &sysfsRoot)
{
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(sysfsRoot.c_str()), closedir);
    if (!dir)
        RaiseSerialError(SerialError::RegistryFailed, errno);

    std::vector<std::string> ports;
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(dir.get());
        if (!entry) {
            if (errno != 0)
                RaiseSerialError(SerialError::RegistryFailed, errno);
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

    for (std::string &path : ConfiguredPaths()) {
        // Listed while it exists, so a virtual port comes and goes with
        // the program that makes it.
        // A remote port is listed as named: whether its server answers shows
        // when it is opened.
        struct stat st{};
        if (IsRemotePortName(path) || stat(path.c_str(), &st) == 0)
            ports.push_back(std::move(path));
    }

    // A device under /sys may also be named in KARVENZOP_PORTS, directly or
    // through a link (/dev/serial/by-id/...): list it once, under the name
    // that came first. Paths that do not resolve are compared as written.
    std::vector<std::string> unique;
    std::vector<std::string> seen;
    for (std::string &port : ports) {
        std::string key = Resolved(port);
        if (key.empty())
            key = port;
        if (std::find(seen.begin(), seen.end(), key) != seen.end())
            continue;
        seen.push_back(std::move(key));
        unique.push_back(std::move(port));
    }
    SortPortNames(unique);
    return unique;
}

namespace {

std::string ReadLine(const std::string &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

std::string PortDescription(const std::string &devicePath, const std::string &sysfsRoot,
                            const std::string &byIdDir)
{
    const std::string device = Resolved(devicePath);
    if (device.rfind("/dev/", 0) != 0)
        return {};
    std::string text;
    // A USB adapter: the interface's device folder lies below the USB
    // device, which names maker, product and serial number.
    std::string dir = Resolved(sysfsRoot + "/" + device.substr(5) + "/device");
    for (int up = 0; up < 4 && !dir.empty() && dir != "/"; ++up) {
        const std::string product = ReadLine(dir + "/product");
        if (!product.empty()) {
            for (const std::string &part : {ReadLine(dir + "/manufacturer"), product, ReadLine(dir + "/serial")})
                if (!part.empty())
                    text += (text.empty() ? "" : " ") + part;
            break;
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
    // The stable name udev gives it.
    std::unique_ptr<DIR, int (*)(DIR *)> byId(opendir(byIdDir.c_str()), closedir);
    while (byId) {
        const dirent *entry = readdir(byId.get());
        if (!entry)
            break;
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && Resolved(byIdDir + "/" + name) == device) {
            text += (text.empty() ? "" : " ") + ("(" + name + ")");
            break;
        }
    }
    return text;
}
