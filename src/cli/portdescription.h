#pragma once

#include <string>

namespace cli {

// What stands behind a serial device path, for the port list: the USB
// adapter's maker and product with the driver, the driver alone, or where a
// link points ("/dev/pts/3" for a simulator's pseudo-terminal).
std::string PortDescription(const std::string &path);

// The port a command uses when none is given, empty when there is no
// obvious one; and what the user is told then.
std::string DefaultPort();
extern const char *const NoPortGiven;

// The only serial port present, empty when there are none or several.
std::string OnlyPort();

} // namespace cli
