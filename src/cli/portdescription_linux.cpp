#include "portdescription.h"

#include "portlist.h"
#include "remoteportname.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace cli {

namespace {

namespace fs = std::filesystem;

std::string FirstLine(const fs::path &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    // Descriptors come from the device: keep them short.
    return line.substr(0, 80);
}

} // namespace

std::string PortDescription(const std::string &path)
{
    std::error_code error;
    const fs::path device = fs::path("/sys/class/tty") / fs::path(path).filename() / "device";
    if (path.rfind("/dev/", 0) == 0 && fs::exists(device, error)) {
        // Newer kernels put a generic serial-base "port" (under its "ctrl")
        // between the tty and the driver of the UART itself.
        std::string driver;
        fs::path up = fs::canonical(device, error);
        for (int level = 0; level < 3 && !error && up.has_relative_path(); ++level, up = up.parent_path()) {
            std::error_code linkError;
            driver = fs::read_symlink(up / "driver", linkError).filename().string();
            if (driver != "port" && driver != "ctrl")
                break;
        }
        // A USB adapter names itself a few levels up, on the USB device.
        error.clear();
        fs::path dir = fs::canonical(device, error);
        for (int up = 0; up < 4 && !error && !dir.empty() && dir != dir.root_path(); ++up, dir = dir.parent_path()) {
            if (!fs::exists(dir / "product", error))
                continue;
            std::string text = FirstLine(dir / "manufacturer");
            const std::string product = FirstLine(dir / "product");
            text += (text.empty() || product.empty() ? "" : " ") + product;
            return driver.empty() ? text : text + " (" + driver + ")";
        }
        return driver;
    }
    if (fs::is_symlink(path, error))
        return "link to " + fs::canonical(path, error).string();
    return {};
}

// The first of KARVENZOP_PORTS, as the window lists it, else the only
// serial port present.
std::string DefaultPort()
{
    if (const char *list = std::getenv("KARVENZOP_PORTS")) {
        const std::vector<std::string> ports = SplitPortList(list);
        if (!ports.empty())
            return ports.front();
    }
    return OnlyPort();
}

const char *const NoPortGiven = "no port given: use --port or set KARVENZOP_PORTS";

} // namespace cli
