#pragma once

#include "decoderprotocol.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace decoder {

// Digit rows of the tone table in the order the decoder sends them: 1-9, 0, R.
constexpr int ToneDigits = 11;
using ToneTable = std::array<std::string, ToneDigits>;

// What a decoder line is, by what it begins with. The clock reply ("GT")
// has no format of its own the tool reads: it is logged as received.
enum class LineKind { SerialNumber, FirmwareVersion, HardwareRevision, Clock, ToneTable, Telegram, Other };

// The fields of a telegram report, as the log line shows them.
struct Telegram {
    std::string identifier;    // 8 characters, unchanged
    char status = 0;
    char tacticalInfo = 0;
    char stage = 0;
    bool toVehicle = false;    // direction character "2": control centre to vehicle
    // Present when the line is longer than 23 characters (then possibly
    // empty); without the line's last character.
    std::optional<std::string> freeText;

    // "FZ<-LS" or "FZ->LS", as the log line shows the direction.
    const char *DirectionText() const { return toVehicle ? "FZ<-LS" : "FZ->LS"; }
};

// One interpreted decoder line: every consumer (window, command line,
// publisher) takes these instead of looking at the bytes again.
struct DecoderLine {
    LineKind kind = LineKind::Other;
    std::string raw;                     // the bytes before the CR
    std::optional<std::string> logText;  // the event log's line; none for the tone table
    std::string value;                   // serial number, firmware version, hardware revision
    ToneTable tones;                     // the tone table reply's fields
    Telegram telegram;                   // the telegram report's fields
};

// Interprets one line (without its CR). Never reads beyond the line.
DecoderLine InterpretDecoderLine(std::string line);

} // namespace decoder
