#include "linerecord.h"

#include "textout.h"

namespace cli {

const char *KindName(decoder::LineKind kind)
{
    using decoder::LineKind;
    switch (kind) {
    case LineKind::SerialNumber: return "serial-number";
    case LineKind::FirmwareVersion: return "firmware-version";
    case LineKind::HardwareRevision: return "hardware-revision";
    case LineKind::ToneTable: return "tone-table";
    case LineKind::Telegram: return "telegram";
    // The clock reply has no fields the tool reads; the documented kinds
    // leave it among the other lines.
    case LineKind::Clock:
    case LineKind::Other: break;
    }
    return "other";
}

std::string JsonRecord(const std::string &time, const decoder::DecoderLine &line)
{
    std::string out = "{\"time\":\"" + time + "\",\"kind\":\"" + KindName(line.kind) + "\"";
    if (line.kind == decoder::LineKind::Telegram) {
        const decoder::Telegram &t = line.telegram;
        out += ",\"identifier\":" + JsonString(t.identifier);
        out += ",\"status\":" + JsonString(std::string(1, t.status));
        out += ",\"tactical_info\":" + JsonString(std::string(1, t.tacticalInfo));
        out += ",\"stage\":" + JsonString(std::string(1, t.stage));
        out += std::string(",\"direction\":\"") + t.DirectionText() + "\"";
        out += ",\"text\":" + JsonString(t.freeText.value_or(""));
    }
    out += ",\"log\":" + (line.logText ? JsonString(*line.logText) : std::string("null"));
    out += ",\"raw\":" + JsonString(line.raw) + "}\n";
    return out;
}

std::string TextRecord(const std::string &time, const decoder::DecoderLine &line)
{
    return line.logText ? time + " " + Printable(*line.logText) + "\n" : std::string();
}

} // namespace cli
