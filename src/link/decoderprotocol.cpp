#include "decoderprotocol.h"

namespace decoder {

namespace {

constexpr std::string_view CommandPrefix{"0\x1e" "C\x1e", 4};

} // namespace

std::string BuildCommand(std::string_view code)
{
    std::string command(CommandPrefix);
    command.append(code);
    command += LF;
    command += CR;
    return command;
}

std::string BuildClockCommand(const std::tm &t)
{
    std::string command(CommandPrefix);
    command += 'C';
    command += RS;
    const int parts[6] = {t.tm_mday, t.tm_mon + 1, (t.tm_year + 1900) % 100, t.tm_hour, t.tm_min, t.tm_sec};
    for (int part : parts)
        command += static_cast<char>(static_cast<unsigned char>(part + 100));
    command += LF;
    command += CR;
    return command;
}

} // namespace decoder
