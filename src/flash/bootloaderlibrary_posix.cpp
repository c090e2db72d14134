#include "bootloaderlibrary.h"

#include "karvenzop_config.h"

#include <cerrno>
#include <climits>
#include <filesystem>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string DlError()
{
    const char *text = ::dlerror();
    return text ? text : "unknown reason";
}

} // namespace

const char *const BootloaderLibrary::kDefaultName = "libBootloader.so";

std::string ExecutableDirectory()
{
    char buffer[PATH_MAX];
    const ssize_t got = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (got <= 0)
        return "./";
    std::string path(buffer, static_cast<size_t>(got));
    return path.substr(0, path.rfind('/') + 1);
}

BootloaderLibrary::BootloaderLibrary(const std::string &name)
{
    void *handle = nullptr;
    if (name.find('/') != std::string::npos) {
        path_ = name;
        handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    } else {
        // A copy beside the program (build folder, unpacked copy) wins over
        // the installed one, and both over one on the usual library path.
        const std::string installed =
            (std::filesystem::path(ExecutableDirectory()) / KZ_BOOTLOADER_DIR_FROM_PROGRAM / name).lexically_normal().string();
        path_ = name;
        for (const std::string &candidate : {ExecutableDirectory() + name, installed}) {
            struct stat st {};
            if (::stat(candidate.c_str(), &st) == 0) {
                path_ = candidate;
                break;
            }
        }
        handle = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (!handle)
        throw EBootloaderLibrary("Cannot load the bootloader library " + name + ": " + DlError());

    ::dlerror();
    openBootloader_ = reinterpret_cast<OpenBootloaderFn>(::dlsym(handle, "OpenBootloader"));
    openCom_ = reinterpret_cast<OpenCOMFn>(::dlsym(handle, "OpenCOM"));
    if (!openBootloader_ || !openCom_) {
        const char *missing = !openBootloader_ ? "OpenBootloader" : "OpenCOM";
        ::dlclose(handle);
        throw EBootloaderLibrary("The bootloader library " + path_ + " has no export " + missing);
    }
    // The handle is kept on purpose; see the class comment.
}
