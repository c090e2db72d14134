#include "portname.h"

#include "bootloaderintf.h"

// On Windows "\\.\COM5" is the device path itself; it is opened as given.
// A port on a device server (rfc2217://HOST:PORT) is no device: the prefix
// the tool puts before every name comes off again.
std::string DevicePathFromPortName(std::u16string_view port)
{
    constexpr std::u16string_view prefix = u"\\\\.\\";
    if (port.substr(0, prefix.size()) == prefix && port.find(u"://") != std::u16string_view::npos)
        port.remove_prefix(prefix.size());
    return Utf8FromWide(port);
}
