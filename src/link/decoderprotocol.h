#pragma once

#include <array>
#include <ctime>
#include <string>
#include <string_view>

// The decoder's line protocol: commands "0" RS "C" RS <code> [...] LF CR out,
// CR-terminated lines in. Pure: bytes in, calls on a sink out.
namespace decoder {

constexpr char RS = '\x1e';
constexpr char LF = '\x0a';
constexpr char CR = '\x0d';

// Digit rows of the tone table in the order the decoder sends them: 1-9, 0, R.
constexpr int ToneDigits = 11;
using ToneTable = std::array<std::string, ToneDigits>;

// A command with a one- or two-letter code, e.g. "GS" or "B".
std::string BuildCommand(std::string_view code);

// The 14-byte clock command for a broken-down local time: each of day, month,
// year % 100, hour, minute and second plus 100 as one raw byte.
std::string BuildClockCommand(const std::tm &localTime);

// Where interpreted lines go; the main window implements it with its widgets.
class DecoderLineSink {
public:
    virtual ~DecoderLineSink() = default;
    virtual void AddLogLine(const std::string &line) = 0;   // appends and selects the last line
    virtual void SelectLastLogLine() = 0;
    virtual void ShowSerialNumber(const std::string &value) = 0;
    virtual void ShowFirmwareVersion(const std::string &value) = 0;
    virtual void ShowHardwareRevision(const std::string &value) = 0;
    virtual void ShowToneTable(const ToneTable &fields) = 0;
};

// The decoder's lines are under a hundred bytes; a line that reaches this
// size without a CR is noise or a fault, and is cut here.
constexpr size_t MaxLineLength = 64 * 1024;

class DecoderProtocol {
public:
    explicit DecoderProtocol(DecoderLineSink &sink) : sink_(sink) {}

    // Collects bytes into the receive line buffer; every CR completes a line,
    // which is interpreted at once. A partial line waits for the next call.
    // A line reaching MaxLineLength is interpreted at that length, once, and
    // its remaining bytes up to the next CR are dropped.
    void AssembleDecoderLines(std::string_view bytes);

    // Interprets one line (without its CR).
    void HandleDecoderLine(const std::string &line);

    void ClearBuffer()
    {
        buffer_.clear();
        discarding_ = false;
    }
    const std::string &Buffer() const { return buffer_; }

private:
    DecoderLineSink &sink_;
    std::string buffer_;
    bool discarding_ = false; // in the tail of a cut line
};

// Formats the log line of a telegram report; false when the line is too short
// to hold every fixed position (it is then logged unchanged, as any other line).
bool FormatTelegram(std::string_view line, std::string &logLine);

// Whether the interpreter logs the line as a telegram report (its prefix and
// every fixed position present).
bool IsTelegram(std::string_view line);

} // namespace decoder
