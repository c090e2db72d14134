#pragma once

#include <string>
#include <string_view>

// "\\.\" + name is how the tool names a port (the Windows device prefix);
// on Linux the name is already the device path, so the prefix is dropped
// when present. The result is UTF-8.
std::string DevicePathFromPortName(std::u16string_view port);
