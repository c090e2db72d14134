#include "telnetparser.h"

using namespace telnet;

void TelnetParser::Feed(const char *bytes, size_t length, std::string &data, std::vector<TelnetCommand> &commands)
{
    for (size_t i = 0; i < length; ++i) {
        const auto b = static_cast<std::uint8_t>(bytes[i]);
        switch (state_) {
        case State::Data:
            if (b == kIac)
                state_ = State::Iac;
            else
                data.push_back(static_cast<char>(b));
            break;
        case State::Iac:
            if (b == kIac) {
                data.push_back(static_cast<char>(b));
                state_ = State::Data;
            } else if (b >= kWill && b <= kDont) {
                current_ = TelnetCommand{b, 0, {}};
                state_ = State::Option;
            } else if (b == kSb) {
                current_ = TelnetCommand{b, 0, {}};
                overlong_ = false;
                state_ = State::SbOption;
            } else {
                // NOP, GA, a stray SE and the rest carry nothing for a serial line.
                state_ = State::Data;
            }
            break;
        case State::Option:
            current_.option = b;
            current_.dataBefore = data.size();
            commands.push_back(current_);
            state_ = State::Data;
            break;
        case State::SbOption:
            current_.option = b;
            state_ = b == kIac ? State::SbIac : State::SbData;
            break;
        case State::SbData:
            if (b == kIac) {
                state_ = State::SbIac;
            } else if (current_.payload.size() < kMaxPayload) {
                current_.payload.push_back(static_cast<char>(b));
            } else {
                overlong_ = true;
            }
            break;
        case State::SbIac:
            if (b == kIac) {
                if (current_.payload.size() < kMaxPayload)
                    current_.payload.push_back(static_cast<char>(b));
                else
                    overlong_ = true;
                state_ = State::SbData;
            } else if (b == kSe) {
                current_.dataBefore = data.size();
                if (!overlong_)
                    commands.push_back(current_);
                current_.payload.clear();
                state_ = State::Data;
            } else {
                // IAC and a command inside a subnegotiation: the peer broke
                // off; drop what was gathered and take the command as one.
                current_.payload.clear();
                state_ = State::Iac;
                --i;
            }
            break;
        }
    }
}

std::string TelnetEscape(const char *bytes, size_t length)
{
    std::string out;
    out.reserve(length + length / 16 + 1);
    for (size_t i = 0; i < length; ++i) {
        out.push_back(bytes[i]);
        if (static_cast<std::uint8_t>(bytes[i]) == kIac)
            out.push_back(bytes[i]);
    }
    return out;
}

std::string TelnetSubnegotiation(std::uint8_t option, const std::string &payload)
{
    std::string out{static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(option)};
    out += TelnetEscape(payload.data(), payload.size());
    out.push_back(static_cast<char>(kIac));
    out.push_back(static_cast<char>(kSe));
    return out;
}
