#include "portname.h"

#include "bootloaderintf.h"

// On Windows "\\.\COM5" is the device path itself; it is opened as given.
std::string DevicePathFromPortName(std::u16string_view port)
{
    return Utf8FromWide(port);
}
