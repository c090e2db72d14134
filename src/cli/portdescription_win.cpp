// A port's adapter as Windows' device manager knows it: maker, description
// and driver service of the device whose PortName is the port; else the
// kernel device the registry names for it ("\Device\Serial0").
#include "portdescription.h"

#include "bootloaderintf.h"
#include "portlist.h"

#include <windows.h>
// After windows.h: they need its types.
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>

namespace cli {

namespace {

// Descriptors come from the driver: keep them short.
std::string Utf8(const wchar_t *text)
{
    return Utf8FromWide(reinterpret_cast<const char16_t *>(text)).substr(0, 80);
}

std::string DeviceText(HDEVINFO devices, SP_DEVINFO_DATA &device, DWORD property)
{
    wchar_t text[256] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type, reinterpret_cast<BYTE *>(text),
                                           sizeof text - sizeof text[0], nullptr) ||
        type != REG_SZ)
        return {};
    return Utf8(text);
}

std::string PortNameOf(HDEVINFO devices, SP_DEVINFO_DATA &device)
{
    const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return {};
    wchar_t name[64] = {};
    DWORD size = sizeof name - sizeof name[0];
    DWORD type = 0;
    const bool ok = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE *>(name), &size) ==
                        ERROR_SUCCESS &&
                    type == REG_SZ;
    RegCloseKey(key);
    return ok ? Utf8(name) : std::string();
}

} // namespace

std::string PortDescription(const std::string &path)
{
    const HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    std::string text;
    if (devices != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
            if (!SamePortText(PortNameOf(devices, device), path))
                continue;
            text = DeviceText(devices, device, SPDRP_MFG);
            const std::string product = DeviceText(devices, device, SPDRP_DEVICEDESC);
            const std::string driver = DeviceText(devices, device, SPDRP_SERVICE);
            text += (text.empty() || product.empty() ? "" : " ") + product;
            if (!driver.empty())
                text += text.empty() ? driver : " (" + driver + ")";
            break;
        }
        SetupDiDestroyDeviceInfoList(devices);
    }
    return text.empty() ? ::PortDescription(path) : text;
}

// Windows lists the registry's COM ports only: the variable plays no part.
std::string DefaultPort()
{
    return OnlyPort();
}

const char *const NoPortGiven = "no port given: use --port (karvenzop-cli ports lists the COM ports)";

} // namespace cli
