// The serial ports Windows has registered: the values of
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, whose data are the names ("COM3").
#include "portlist.h"

#include "serialerror.h"

#include <windows.h>

std::vector<std::string> EnumeratePorts(const std::string &)
{
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS)
        RaiseSerialError(23, static_cast<int>(rc));

    std::vector<std::string> ports;
    for (DWORD index = 0;; ++index) {
        char name[256];
        BYTE data[256];
        DWORD nameLength = sizeof name;
        DWORD dataLength = sizeof data;
        DWORD type = 0;
        rc = RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data, &dataLength);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS) {
            RegCloseKey(key);
            RaiseSerialError(23, static_cast<int>(rc));
        }
        // The data is text; it need not carry its terminating zero.
        std::string port(reinterpret_cast<const char *>(data), dataLength);
        const auto zero = port.find('\0');
        if (zero != std::string::npos)
            port.erase(zero);
        ports.push_back(port);
    }
    RegCloseKey(key);
    SortPortNames(ports);
    return ports;
}
