#pragma once

#include "bootloaderintf.h"
#include "exception.h"

#include <string>
#include <string_view>

// The bootloader library is missing, broken or lacks an export.
class EBootloaderLibrary : public Exception {
    using Exception::Exception;
};

// Binding to the bootloader library, loaded at run time (dlopen, LoadLibrary).
// A bare name is looked for beside the running executable first, then (on
// Linux) in the installed layout's private library folder and on the usual
// library search path; a name with a folder is loaded from exactly there.
// The library stays loaded for the rest of the process: the objects it hands
// out run its code, and the tool keeps them until it ends.
class BootloaderLibrary {
public:
    // libBootloader.so, Bootloader.dll.
    static const char *const kDefaultName;

    // Raises EBootloaderLibrary naming the library and the reason.
    explicit BootloaderLibrary(const std::string &name = kDefaultName);

    // The process-wide instance of the default library, loaded on first use.
    static BootloaderLibrary &Default();

    // The loader object for the host (one reference for the caller).
    IntfPtr<IBootloader> OpenBootloader(IBootloaderHost *host) const;
    // A serial link on port ("\\.\" + port name, as the tool passes it).
    IntfPtr<IBootloaderLink> OpenCOM(std::u16string_view port, IBootloaderHost *host) const;

    // Where the library was found.
    const std::string &Path() const { return path_; }

private:
    std::string path_;
    OpenBootloaderFn openBootloader_ = nullptr;
    OpenCOMFn openCom_ = nullptr;
};

// The directory of the running executable, with a trailing separator.
std::string ExecutableDirectory();
