#include "usersettings.h"

#include "regularfile.h"

#include <cstdlib>
#include <filesystem>

std::string SystemUserSetting(const std::string &key)
{
    // Where the toolkit puts an organisation's settings: a relative
    // XDG_CONFIG_HOME is invalid and ignored.
    std::filesystem::path folder;
    if (const char *config = std::getenv("XDG_CONFIG_HOME"); config && std::filesystem::path(config).is_absolute())
        folder = config;
    else if (const char *home = std::getenv("HOME"); home && *home)
        folder = std::filesystem::path(home) / ".config";
    else
        return {};
    const int fd = OpenRegularFile((folder / "KarvenZop" / "KarvenZop.conf").string(), kSettingsFileLimit);
    if (fd < 0)
        return {};
    std::string text;
    const bool read = ReadRegularFile(fd, kSettingsFileLimit, text);
    CloseRegularFile(fd);
    return read ? IniGeneralValue(text, key) : std::string();
}
