#include "firmwarecontainer.h"

#include "bootmessages.h"
#include "checksum.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kMaxPayload = kFirmwareMaxImageSize;

std::string Hex32(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", v);
    return text;
}

bool Printable(std::string_view text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            return false;
    return true;
}

void PutText(std::string &out, std::string_view text, const char *what)
{
    if (text.empty() || text.size() > kFirmwareTextSize || !Printable(text))
        throw EFirmwareFile(std::string("Firmware ") + what + " \"" + std::string(text) +
                            "\" must be 1 to 16 printable ASCII characters");
    out.append(text);
    out.append(kFirmwareTextSize - text.size(), '\0');
}

// A NUL-padded text field: printable bytes, then only NULs.
bool GetText(std::string_view field, std::string &text)
{
    const size_t end = field.find('\0');
    text.assign(field.substr(0, end));
    if (text.empty() || !Printable(text))
        return false;
    return end == std::string_view::npos || field.find_first_not_of('\0', end) == std::string_view::npos;
}

} // namespace

std::string BuildFirmwareContainer(std::string_view target, std::string_view version, std::string_view payload,
                                   uint32_t loadAddress)
{
    if (payload.empty())
        throw EFirmwareFile("The firmware image is empty");
    if (payload.size() > kMaxPayload)
        throw EFirmwareFile("The firmware image has " + std::to_string(payload.size()) +
                            " bytes, more than the 16 MiB a container holds");
    std::string out(kFirmwareMagic, sizeof kFirmwareMagic);
    PutLe16(out, kFirmwareFormat);
    PutLe16(out, static_cast<uint16_t>(kFirmwareHeaderSize));
    PutText(out, target, "target");
    PutText(out, version, "version");
    PutLe32(out, static_cast<uint32_t>(payload.size()));
    PutLe32(out, Crc32(payload));
    PutLe32(out, loadAddress);
    PutLe32(out, 0); // flags: no encryption
    PutLe32(out, Crc32(out));
    out.append(payload);
    return out;
}

FirmwareImage ParseFirmwareContainer(std::string_view bytes)
{
    if (bytes.size() < kFirmwareHeaderSize)
        throw EFirmwareFile("The firmware file is truncated: " + std::to_string(bytes.size()) +
                            " bytes, its header alone needs " + std::to_string(kFirmwareHeaderSize));
    if (std::memcmp(bytes.data(), kFirmwareMagic, sizeof kFirmwareMagic) != 0)
        throw EFirmwareFile("The file is not a firmware container (unknown header)");
    const uint32_t headerCrc = GetLe32(bytes, 60);
    if (Crc32(bytes.data(), 60) != headerCrc)
        throw EFirmwareFile("The firmware file header is damaged (header CRC-32 mismatch)");
    const uint16_t format = GetLe16(bytes, 8);
    if (format != kFirmwareFormat || GetLe16(bytes, 10) != kFirmwareHeaderSize)
        throw EFirmwareFile("The firmware file has format " + std::to_string(format) + ", this program reads format " +
                            std::to_string(kFirmwareFormat));

    FirmwareImage image;
    if (!GetText(bytes.substr(12, kFirmwareTextSize), image.target))
        throw EFirmwareFile("The firmware file names no valid target");
    if (!GetText(bytes.substr(28, kFirmwareTextSize), image.version))
        throw EFirmwareFile("The firmware file gives no valid version");
    const uint32_t length = GetLe32(bytes, 44);
    image.crc = GetLe32(bytes, 48);
    image.loadAddress = GetLe32(bytes, 52);
    const uint32_t flags = GetLe32(bytes, 56);
    if (flags != 0)
        throw EFirmwareFile("The firmware file uses features this program does not know (flags " + Hex32(flags) + ")");
    if (length == 0)
        throw EFirmwareFile("The firmware file holds no image");
    const size_t held = bytes.size() - kFirmwareHeaderSize;
    if (held < length)
        throw EFirmwareFile("The firmware file is truncated: the header announces " + std::to_string(length) +
                            " image bytes, the file holds " + std::to_string(held));
    if (held > length)
        throw EFirmwareFile("The firmware file has " + std::to_string(held - length) +
                            " unexpected bytes after the image");
    const std::string_view payload = bytes.substr(kFirmwareHeaderSize);
    const uint32_t crc = Crc32(payload);
    if (crc != image.crc)
        throw EFirmwareFile("The firmware image is damaged: CRC-32 " + Hex32(crc) + ", the header says " +
                            Hex32(image.crc));
    image.payload.assign(payload);
    return image;
}
