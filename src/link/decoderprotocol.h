#pragma once

#include <ctime>
#include <string>
#include <string_view>

// The decoder's line protocol: commands "0" RS "C" RS <code> [...] LF CR out,
// CR-terminated lines in (read by DecoderReader).
namespace decoder {

constexpr char RS = '\x1e';
constexpr char LF = '\x0a';
constexpr char CR = '\x0d';

// A command with a one- or two-letter code, e.g. "GS" or "B".
std::string BuildCommand(std::string_view code);

// The 14-byte clock command for a broken-down local time: each of day, month,
// year % 100, hour, minute and second plus 100 as one raw byte.
std::string BuildClockCommand(const std::tm &localTime);

} // namespace decoder
