#pragma once

#include <cstdint>
#include <random>
#include <string>

// Makes the FMS status reports a decoder sends on its own when it hears a
// vehicle on the radio channel:
//   "1" RS "R" RS "2" RS id(8) RS status RS TKI RS BS RS direction [RS text] LF CR
// Without free text the line (before CR) is 23 bytes; with text, RS text
// follows the direction.
class TelegramSource {
public:
    explicit TelegramSource(uint32_t seed) : random_(seed) {}
    std::string Next();

private:
    std::mt19937 random_;
};
