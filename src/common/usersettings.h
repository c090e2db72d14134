#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The tool's per-user settings as the window's toolkit keeps them, read
// without the toolkit so karvenzop-cli sees what the window wrote: the INI
// file $XDG_CONFIG_HOME/KarvenZop/KarvenZop.conf (~/.config/...) on Linux,
// the registry key HKCU\Software\KarvenZop\KarvenZop on Windows.

// A key of the group [General]; empty when it is absent or unreadable.
std::string UserSetting(const std::string &key);

// The window reads through its toolkit instead (the same store), so it
// sees what it wrote also where the toolkit keeps test settings elsewhere.
using UserSettingReader = std::string (*)(const std::string &key);
void SetUserSettingReader(UserSettingReader reader);
// The system's store as described above, one file per system.
std::string SystemUserSetting(const std::string &key);

// The value of `key` in the [General] group of an INI text as the toolkit
// writes it (keys before any group header belong to General; a quoted
// value has \" and \\ escaped); empty when absent.
std::string IniGeneralValue(std::string_view text, std::string_view key);

// The settings file is a few lines; anything far larger is not ours.
inline constexpr uint64_t kSettingsFileLimit = 1 << 20;
