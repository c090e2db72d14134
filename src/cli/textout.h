#pragma once

#include "fileio.h"  // WriteAll: a line goes out in one write, false when the reader has gone

#include <chrono>
#include <exception>
#include <string>
#include <string_view>

// Output of the command-line program: UTF-8 on stdout and stderr, with
// outside text (decoder lines, server replies) shown as data. 8-bit text is
// decoded by the window's one rule (text8bit.h).
namespace cli {

// For a terminal: the text as UTF-8 with control characters written as \xNN,
// so no byte from outside can move the cursor or change the terminal.
std::string Printable(std::string_view text);

// A JSON string literal (quotes included) of the text as UTF-8.
std::string JsonString(std::string_view text);

// Local time with milliseconds and UTC offset: 2026-12-07T14:05:09.123+01:00.
std::string IsoTime(std::chrono::system_clock::time_point when);

// Bytes to stdout or stderr, in one write where possible; false when the
// reader has gone.
bool WriteOut(std::string_view bytes);
bool WriteErr(std::string_view bytes);
// Whether a write to stdout failed at some point (the program then ends
// with its output exit code).
bool OutputFailed();

// "karvenzop-cli: " and the message, with the final "." the window's error
// box adds; on stderr.
void PrintError(const std::string &message);
// The same for a failure, with the line naming what was tried (a server's
// address) when it has one.
void PrintFailure(const std::exception &failure);
// A notice on stderr that is no error (a device lost and back, lines
// dropped, the broker's link): the text form also with --json, where the
// output carries the event itself.
void PrintNotice(const std::string &message);
// With --json: each error is one object on stderr instead,
// {"error":"...","detail":"..."} (detail only when there is one).
void SetJsonErrors(bool on);
bool JsonErrors();

} // namespace cli
