#include "decoderline.h"

namespace decoder {

namespace {

constexpr std::string_view ToneTablePrefix{"0\x1e" "C\x1e" "GZ", 6};
constexpr std::string_view HardwarePrefix{"0\x1e" "C\x1e" "GR", 6};
constexpr std::string_view FirmwarePrefix{"0\x1e" "C\x1e" "GF", 6};
constexpr std::string_view SerialPrefix{"0\x1e" "C\x1e" "GS", 6};
constexpr std::string_view ClockPrefix{"0\x1e" "C\x1e" "GT", 6};
constexpr std::string_view TelegramPrefix{"1\x1e" "R\x1e" "2", 5};

// The telegram report's fixed positions (0-based); the bytes between them
// are framing. A report shorter than TelegramMinLength is an other line.
constexpr size_t IdentifierAt = 6;
constexpr size_t IdentifierLength = 8;
constexpr size_t StatusAt = 15;
constexpr size_t TacticalInfoAt = 17;
constexpr size_t StageAt = 19;
constexpr size_t DirectionAt = 21;
constexpr size_t FreeTextAt = 23;
constexpr size_t TelegramMinLength = DirectionAt + 1;

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
        if (sep == std::string_view::npos)
            continue;
        field.assign(rest.substr(0, sep));
        rest.remove_prefix(sep + 1);
    }
    return fields;
}

Telegram TelegramFields(std::string_view line)
{
    Telegram t;
    t.identifier = std::string(line.substr(IdentifierAt, IdentifierLength));
    t.status = line[StatusAt];
    t.tacticalInfo = line[TacticalInfoAt];
    t.stage = line[StageAt];
    t.toVehicle = line[DirectionAt] == '2';
    if (line.size() > FreeTextAt)
        t.freeText = std::string(line.substr(FreeTextAt, line.size() - FreeTextAt - 1));
    return t;
}

std::string TelegramLogText(const Telegram &t)
{
    std::string text = "R1: " + t.identifier;
    text.append(" S:").push_back(t.status);
    text.append(" TKI:").push_back(t.tacticalInfo);
    text.append(" BS:").push_back(t.stage);
    text.append(" ").append(t.DirectionText()).append(" ");
    if (t.freeText)
        text.append("T: ").append(*t.freeText);
    return text;
}

} // namespace

DecoderLine InterpretDecoderLine(std::string line)
{
    DecoderLine out;
    out.raw = std::move(line);
    const std::string_view view(out.raw);
    auto single = [&](LineKind kind, const char *label) {
        out.kind = kind;
        out.value = SingleValue(view);
        out.logText = label + out.value;
    };
    if (view.starts_with(ToneTablePrefix)) {
        out.kind = LineKind::ToneTable;
        out.tones = ToneFields(view);
    } else if (view.starts_with(HardwarePrefix)) {
        single(LineKind::HardwareRevision, "Hardware revision: ");
    } else if (view.starts_with(FirmwarePrefix)) {
        single(LineKind::FirmwareVersion, "Firmware version: ");
    } else if (view.starts_with(SerialPrefix)) {
        single(LineKind::SerialNumber, "Serial number: ");
    } else if (view.starts_with(TelegramPrefix) && view.size() >= TelegramMinLength) {
        out.kind = LineKind::Telegram;
        out.telegram = TelegramFields(view);
        out.logText = TelegramLogText(out.telegram);
    } else {
        out.kind = view.starts_with(ClockPrefix) ? LineKind::Clock : LineKind::Other;
        out.logText = out.raw;
    }
    return out;
}

} // namespace decoder
