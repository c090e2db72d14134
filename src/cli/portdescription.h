#pragma once

#include <string>

namespace cli {

// What stands behind a serial device path, for the port list: the USB
// adapter's maker and product with the driver, the driver alone, or where a
// link points ("/dev/pts/3" for a simulator's pseudo-terminal).
std::string PortDescription(const std::string &path);

} // namespace cli
