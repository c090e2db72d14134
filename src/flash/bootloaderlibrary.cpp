#include "bootloaderlibrary.h"

BootloaderLibrary &BootloaderLibrary::Default()
{
    static BootloaderLibrary library;
    return library;
}

IntfPtr<IBootloader> BootloaderLibrary::OpenBootloader(IBootloaderHost *host) const
{
    IntfPtr<IBootloader> loader;
    openBootloader_(loader.put(), host);
    if (!loader)
        throw EBootloaderLibrary("The bootloader library " + path_ + " returned no loader object");
    return loader;
}

IntfPtr<IBootloaderLink> BootloaderLibrary::OpenCOM(std::u16string_view port, IBootloaderHost *host) const
{
    const std::u16string text(port); // the export wants a terminated string
    IntfPtr<IBootloaderLink> link;
    openCom_(link.put(), text.c_str(), host);
    return link;
}
