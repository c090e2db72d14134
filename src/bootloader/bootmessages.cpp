#include "bootmessages.h"

const char *BootStatusText(uint8_t status)
{
    switch (status) {
    case bootstatus::Ok: return "ok";
    case bootstatus::BadChecksum: return "bad checksum";
    case bootstatus::BadAddress: return "address out of range";
    case bootstatus::Denied: return "password not accepted";
    case bootstatus::Locked: return "locked, password needed";
    case bootstatus::BadLength: return "bad length";
    case bootstatus::NoApplication: return "no valid application";
    case bootstatus::VerifyFailed: return "verification failed";
    case bootstatus::BadCommand: return "unknown command";
    default: return "unknown status";
    }
}

void PutLe16(std::string &out, uint16_t v)
{
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

void PutLe32(std::string &out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint16_t GetLe16(std::string_view b, size_t at)
{
    return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8));
}

uint32_t GetLe32(std::string_view b, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(b[at + static_cast<size_t>(i)]);
    return v;
}

namespace {

void PutText(std::string &out, std::string_view text)
{
    if (text.size() > 255)
        text = text.substr(0, 255);
    out.push_back(static_cast<char>(text.size()));
    out.append(text);
}

bool GetText(std::string_view b, size_t &at, std::string &text)
{
    if (at >= b.size())
        return false;
    const size_t len = static_cast<uint8_t>(b[at]);
    if (b.size() - at - 1 < len)
        return false;
    text.assign(b.substr(at + 1, len));
    at += 1 + len;
    return true;
}

constexpr size_t kHelloFixed = 1 + 2 + 2 + 1 + 1 + 2 + 4 + 4 + 2 + 4;

} // namespace

std::string EncodeHello(const HelloInfo &h)
{
    std::string out;
    out.push_back(static_cast<char>(h.protocolVersion));
    PutLe16(out, h.deviceId);
    PutLe16(out, h.bootloaderVersion);
    out.push_back(static_cast<char>(h.flags));
    out.push_back(static_cast<char>((h.needsPassword ? 1 : 0) | (h.hasApplication ? 2 : 0)));
    PutLe16(out, h.pageSize);
    PutLe32(out, h.flashSize);
    PutLe32(out, h.eepromSize);
    PutLe16(out, h.maxPayload);
    PutLe32(out, h.applicationSize);
    PutText(out, h.target);
    PutText(out, h.firmwareVersion);
    PutText(out, h.serialNumber);
    PutText(out, h.info);
    if (h.protocolVersion >= 2)
        out.push_back(static_cast<char>(h.window));
    return out;
}

std::optional<HelloInfo> ParseHello(std::string_view b)
{
    if (b.size() < kHelloFixed)
        return std::nullopt;
    HelloInfo h;
    h.protocolVersion = static_cast<uint8_t>(b[0]);
    h.deviceId = GetLe16(b, 1);
    h.bootloaderVersion = GetLe16(b, 3);
    h.flags = static_cast<uint8_t>(b[5]);
    h.needsPassword = (b[6] & 1) != 0;
    h.hasApplication = (b[6] & 2) != 0;
    h.pageSize = GetLe16(b, 7);
    h.flashSize = GetLe32(b, 9);
    h.eepromSize = GetLe32(b, 13);
    h.maxPayload = GetLe16(b, 17);
    h.applicationSize = GetLe32(b, 19);
    size_t at = kHelloFixed;
    if (!GetText(b, at, h.target) || !GetText(b, at, h.firmwareVersion) || !GetText(b, at, h.serialNumber) ||
        !GetText(b, at, h.info))
        return std::nullopt;
    if (h.protocolVersion >= 2) {
        if (at >= b.size())
            return std::nullopt;
        h.window = static_cast<uint8_t>(b[at]);
    }
    return h;
}

std::string EncodeRange(uint32_t start, uint32_t length)
{
    std::string out;
    PutLe32(out, start);
    PutLe32(out, length);
    return out;
}

std::optional<RangeRequest> ParseRange(std::string_view b)
{
    if (b.size() != 8)
        return std::nullopt;
    return RangeRequest{GetLe32(b, 0), GetLe32(b, 4)};
}

std::string EncodeFinish(const FinishRequest &f)
{
    std::string out;
    PutLe32(out, f.start);
    PutLe32(out, f.length);
    PutLe32(out, f.crc);
    PutText(out, f.version);
    return out;
}

std::optional<FinishRequest> ParseFinish(std::string_view b)
{
    if (b.size() < 13)
        return std::nullopt;
    FinishRequest f;
    f.start = GetLe32(b, 0);
    f.length = GetLe32(b, 4);
    f.crc = GetLe32(b, 8);
    size_t at = 12;
    if (!GetText(b, at, f.version) || at != b.size())
        return std::nullopt;
    return f;
}
