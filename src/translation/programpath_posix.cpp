#include "resourcestring.h"

#include <filesystem>

std::string ResolvedProgramPath()
{
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}
