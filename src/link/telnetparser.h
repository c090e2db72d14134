#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telnet {
constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr std::uint8_t kBinary = 0, kSuppressGoAhead = 3, kComPortOption = 44;
}

// What a Telnet peer sent besides data: an option negotiation (verb is
// WILL/WONT/DO/DONT) or a subnegotiation (verb SB, payload unescaped).
struct TelnetCommand {
    std::uint8_t verb = 0;
    std::uint8_t option = 0;
    std::string payload;
    // The length the data had when the command ended: what came before it.
    size_t dataBefore = 0;
};

// Splits a Telnet byte stream into data and commands, in pieces of any size.
// It does no I/O. A subnegotiation longer than kMaxPayload is dropped
// whole: no server reply we know is longer.
class TelnetParser {
public:
    static constexpr size_t kMaxPayload = 64;

    // Data bytes are appended to `data`, commands to `commands`.
    void Feed(const char *bytes, size_t length, std::string &data, std::vector<TelnetCommand> &commands);

private:
    enum class State { Data, Iac, Option, SbOption, SbData, SbIac };
    State state_ = State::Data;
    TelnetCommand current_;
    bool overlong_ = false;
};

// Data for the wire: every 0xFF doubled.
std::string TelnetEscape(const char *bytes, size_t length);
// IAC SB option payload IAC SE, the payload escaped.
std::string TelnetSubnegotiation(std::uint8_t option, const std::string &payload);
