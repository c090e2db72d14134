// The serial ports Windows has registered: the values of
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, whose data are the names ("COM3").
#include "portlist.h"

#include "serialerror.h"

#include <algorithm>

#include <windows.h>

std::vector<std::string> EnumeratePorts(const std::string &)
{
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS)
        RaiseSerialError(SerialError::RegistryFailed, static_cast<int>(rc));

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
            RaiseSerialError(SerialError::RegistryFailed, static_cast<int>(rc));
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

// The registry names the driver's device for each port ("\Device\Serial0",
// "\Device\VCP0" for many USB adapters): that is what the system tells.
std::string PortDescription(const std::string &devicePath, const std::string &, const std::string &)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return {};
    std::string description;
    for (DWORD index = 0;; ++index) {
        char name[256];
        BYTE data[256];
        DWORD nameLength = sizeof name;
        DWORD dataLength = sizeof data;
        if (RegEnumValueA(key, index, name, &nameLength, nullptr, nullptr, data, &dataLength) != ERROR_SUCCESS)
            break;
        std::string port(reinterpret_cast<const char *>(data), dataLength);
        port.erase(std::min(port.find('\0'), port.size()));
        if (port == devicePath) {
            description.assign(name, nameLength);
            break;
        }
    }
    RegCloseKey(key);
    return description;
}

// No folder to watch: ports come and go in the registry.
std::vector<std::string> PortFolders()
{
    return {};
}
