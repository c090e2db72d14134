#include "bootloader.h"
#include "bootloadererror.h"
#include "bootseriallink.h"

#define KZ_EXPORT extern "C" __attribute__((visibility("default")))

KZ_EXPORT void OpenBootloader(IBootloader **out, IBootloaderHost *host)
{
    if (!out)
        throw EBootloader("OpenBootloader was given nowhere to put the loader");
    *out = nullptr;
    if (!host)
        throw EBootloader("OpenBootloader needs a host");
    *out = new Bootloader(host);
}

KZ_EXPORT void OpenCOM(IBootloaderLink **out, const char16_t *port, IBootloaderHost *host)
{
    if (!out)
        throw EBootloader("OpenCOM was given nowhere to put the link");
    *out = nullptr;
    if (!port)
        throw EBootloader("OpenCOM was given no port name");
    *out = BootSerialLink::Open(DevicePathFromPortName(port), host);
}
