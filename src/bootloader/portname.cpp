#include "portname.h"

#include "bootloaderintf.h"

std::string DevicePathFromPortName(std::u16string_view port)
{
    constexpr std::u16string_view prefix = u"\\\\.\\";
    if (port.substr(0, prefix.size()) == prefix)
        port.remove_prefix(prefix.size());
    return Utf8FromWide(port);
}
