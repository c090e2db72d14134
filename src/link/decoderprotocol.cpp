#include "decoderprotocol.h"

#include <cstring>

namespace decoder {

namespace {

constexpr std::string_view CommandPrefix{"0\x1e" "C\x1e", 4};
constexpr std::string_view ToneTablePrefix{"0\x1e" "C\x1e" "GZ", 6};
constexpr std::string_view HardwarePrefix{"0\x1e" "C\x1e" "GR", 6};
constexpr std::string_view FirmwarePrefix{"0\x1e" "C\x1e" "GF", 6};
constexpr std::string_view SerialPrefix{"0\x1e" "C\x1e" "GS", 6};
constexpr std::string_view TelegramPrefix{"1\x1e" "R\x1e" "2", 5};

// Shortest telegram report with every fixed position present (up to the direction).
constexpr size_t TelegramMinLength = 22;

// Positions 8 to n-1 (1-based): the byte after the prefix and the last byte are framing.
std::string SingleValue(std::string_view line)
{
    if (line.size() < 9)
        return {};
    return std::string(line.substr(7, line.size() - 8));
}

ToneTable ToneFields(std::string_view line)
{
    ToneTable fields;
    std::string_view rest = line.size() > 7 ? line.substr(7) : std::string_view{};
    for (auto &field : fields) {
        const size_t sep = rest.find(RS);
        if (sep == std::string_view::npos) {
            field.clear();
            continue;
        }
        field.assign(rest.substr(0, sep));
        rest.remove_prefix(sep + 1);
    }
    return fields;
}

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

bool FormatTelegram(std::string_view line, std::string &logLine)
{
    if (line.size() < TelegramMinLength)
        return false;
    const size_t n = line.size();
    logLine.assign("R1: ");
    logLine.append(line.substr(6, 8));
    logLine.append(" S:");
    logLine += line[15];
    logLine.append(" TKI:");
    logLine += line[17];
    logLine.append(" BS:");
    logLine += line[19];
    logLine.append(line[21] == '2' ? " FZ<-LS" : " FZ->LS");
    logLine += ' ';
    if (n > 23) {
        logLine.append("T: ");
        logLine.append(line.substr(23, n - 24));
    }
    return true;
}

bool IsTelegram(std::string_view line)
{
    return line.starts_with(TelegramPrefix) && line.size() >= TelegramMinLength;
}

void DecoderProtocol::AssembleDecoderLines(std::string_view bytes)
{
    while (!bytes.empty()) {
        const void *cr = std::memchr(bytes.data(), CR, bytes.size());
        const size_t len = cr ? static_cast<size_t>(static_cast<const char *>(cr) - bytes.data()) : bytes.size();
        if (discarding_) {
            bytes.remove_prefix(cr ? len + 1 : len);
            discarding_ = !cr;
            continue;
        }
        const size_t room = MaxLineLength - buffer_.size();
        if (len >= room && !(cr && len == room)) {
            // Cut: the line ends at the limit; the rest of it goes.
            buffer_.append(bytes.substr(0, room));
            bytes.remove_prefix(room);
            discarding_ = true;
        } else if (!cr) {
            buffer_.append(bytes);
            return;
        } else {
            buffer_.append(bytes.substr(0, len));
            bytes.remove_prefix(len + 1);
        }
        // The handler may run nested event processing; take the line out first
        // so bytes arriving meanwhile start a fresh one.
        std::string line;
        line.swap(buffer_);
        HandleDecoderLine(line);
    }
}

void DecoderProtocol::HandleDecoderLine(const std::string &line)
{
    const std::string_view view(line);
    if (view.starts_with(ToneTablePrefix)) {
        sink_.ShowToneTable(ToneFields(view));
    } else if (view.starts_with(HardwarePrefix)) {
        const std::string value = SingleValue(view);
        sink_.AddLogLine("Hardware revision: " + value);
        sink_.ShowHardwareRevision(value);
    } else if (view.starts_with(FirmwarePrefix)) {
        const std::string value = SingleValue(view);
        sink_.AddLogLine("Firmware version: " + value);
        sink_.ShowFirmwareVersion(value);
    } else if (view.starts_with(SerialPrefix)) {
        const std::string value = SingleValue(view);
        sink_.AddLogLine("Serial number: " + value);
        sink_.ShowSerialNumber(value);
    } else {
        std::string telegram;
        if (view.starts_with(TelegramPrefix) && FormatTelegram(view, telegram))
            sink_.AddLogLine(telegram);
        else
            sink_.AddLogLine(line);
    }
    sink_.SelectLastLogLine();
}

} // namespace decoder
