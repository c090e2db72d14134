#pragma once

#include "exception.h"

#include <cstdint>
#include <string>
#include <string_view>

// A broken or unusable firmware container; the message says what is wrong.
class EFirmwareFile : public Exception {
    using Exception::Exception;
};

// The firmware file ("firmware.acy"): a 64-byte header, then the image.
// Layout in FIRMWARE.md.
constexpr size_t kFirmwareHeaderSize = 64;
constexpr size_t kFirmwareTextSize = 16; // target id and version, NUL padded
constexpr uint32_t kFirmwareMaxImageSize = 16u << 20;
// The largest firmware file: what the bootloader library reads and a
// download may bring.
constexpr uint64_t kFirmwareFileLimit = kFirmwareHeaderSize + kFirmwareMaxImageSize;
constexpr char kFirmwareMagic[8] = {'K', 'A', 'R', 'V', 'F', 'W', '\r', '\n'};
constexpr uint16_t kFirmwareFormat = 1;

struct FirmwareImage {
    std::string target;
    std::string version;
    uint32_t loadAddress = 0;
    uint32_t crc = 0; // CRC-32 of payload
    std::string payload;
};

// Raises EFirmwareFile when the target or version text does not fit or
// holds non-printable bytes, or the payload is empty or larger than 16 MiB.
std::string BuildFirmwareContainer(std::string_view target, std::string_view version, std::string_view payload,
                                   uint32_t loadAddress = 0);

// Checks everything (magic, header CRC, format, texts, exact length, payload
// CRC) before returning; raises EFirmwareFile naming the first fault.
FirmwareImage ParseFirmwareContainer(std::string_view bytes);
