#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace session {

// The fields of a telegram report line, at the positions the window's log
// line is made from.
struct Telegram {
    std::string identifier;    // 8 characters, unchanged
    char status = 0;
    char tacticalInfo = 0;
    char stage = 0;
    bool toVehicle = false;    // direction character "2": control centre to vehicle
    std::string freeText;      // without the line's last character
};

// Empty for any line the window would not log as a telegram.
std::optional<Telegram> ParseTelegram(std::string_view line);

} // namespace session
