#pragma once

#include "decoderline.h"

#include <string>

// How karvenzop-cli writes a decoder line: the monitor's output, and what a
// publisher sends for it.
namespace cli {

// The kind as the JSON output names it.
const char *KindName(decoder::LineKind kind);

// One JSON object with its newline: time, kind, the telegram's fields for a
// telegram, log (the window's log line, or null) and raw.
std::string JsonRecord(const std::string &time, const decoder::DecoderLine &line);

// The time, a blank and the window's log line, shown as data, with its
// newline; empty for a line without a log line (the tone table).
std::string TextRecord(const std::string &time, const decoder::DecoderLine &line);

} // namespace cli
