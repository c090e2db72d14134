#include "bootloaderlibrary.h"

#include "systemerror_win.h"
#include <windows.h>

const char *const BootloaderLibrary::kDefaultName = "Bootloader.dll";

std::string ExecutableDirectory()
{
    char buffer[MAX_PATH + 1];
    const DWORD got = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    if (got == 0 || got >= sizeof buffer)
        return ".\\";
    std::string path(buffer, got);
    return path.substr(0, path.find_last_of("\\/") + 1);
}

BootloaderLibrary::BootloaderLibrary(const std::string &name)
{
    // A bare name is taken from the program's folder only: the search path
    // would also try the working directory, where any file may lie.
    path_ = name.find_first_of("\\/:") == std::string::npos ? ExecutableDirectory() + name : name;
    const HMODULE module = LoadLibraryExA(path_.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr)
        throw EBootloaderLibrary("Cannot load the bootloader library " + name + ": " + SystemErrorText(GetLastError()));
    openBootloader_ = reinterpret_cast<OpenBootloaderFn>(reinterpret_cast<void *>(GetProcAddress(module, "OpenBootloader")));
    openCom_ = reinterpret_cast<OpenCOMFn>(reinterpret_cast<void *>(GetProcAddress(module, "OpenCOM")));
    if (!openBootloader_ || !openCom_) {
        const char *missing = !openBootloader_ ? "OpenBootloader" : "OpenCOM";
        FreeLibrary(module);
        throw EBootloaderLibrary("The bootloader library " + path_ + " has no export " + missing);
    }
    // The module is kept loaded on purpose; see the class comment.
}
