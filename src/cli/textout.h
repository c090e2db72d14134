#pragma once

#include <chrono>
#include <string>
#include <string_view>

// Output of the command-line program: UTF-8 on stdout and stderr, with
// outside text (decoder lines, server replies) shown as data.
namespace cli {

// 8-bit text as UTF-8: kept where it already is valid UTF-8 (translated
// messages), else read as Windows-1252 (decoder bytes), as the window does.
std::string ToUtf8(std::string_view text);

// For a terminal: ToUtf8 with control characters written as \xNN, so no
// byte from outside can move the cursor or change the terminal.
std::string Printable(std::string_view text);

// A JSON string literal (quotes included) of ToUtf8(text).
std::string JsonString(std::string_view text);

// Local time with milliseconds and UTC offset: 2026-12-07T14:05:09.123+01:00.
std::string IsoTime(std::chrono::system_clock::time_point when);

// Writes all bytes to a descriptor at once (one line stays one write, so a
// reader on a pipe gets it whole). False when the reader has gone.
bool WriteAll(int fd, std::string_view bytes);

// "karvenzop-cli: " and the message, with the final "." the window's error
// box adds; on stderr.
void PrintError(const std::string &message);

} // namespace cli
