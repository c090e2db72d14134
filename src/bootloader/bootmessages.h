#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Payloads of the bootloader frames (framecodec.h). Numbers are little endian.

namespace bootstatus {
constexpr uint8_t Ok = 0;
constexpr uint8_t BadChecksum = 1; // the frame arrived damaged: send it again
constexpr uint8_t BadAddress = 2;
constexpr uint8_t Denied = 3;      // wrong password
constexpr uint8_t Locked = 4;      // a password is needed first
constexpr uint8_t BadLength = 5;
constexpr uint8_t NoApplication = 6; // leave refused: no verified application
constexpr uint8_t VerifyFailed = 7;
constexpr uint8_t BadCommand = 8;
} // namespace bootstatus

const char *BootStatusText(uint8_t status);

// The handshake answer to the boot sign.
struct HelloInfo {
    uint8_t protocolVersion = 1;
    uint16_t deviceId = 0;
    uint16_t bootloaderVersion = 0; // major * 256 + minor
    uint8_t flags = 0;              // encryption bits as IBootloaderDevice::GetFlags
    bool needsPassword = false;
    bool hasApplication = false;
    uint16_t pageSize = 0;
    uint32_t flashSize = 0;
    uint32_t eepromSize = 0;
    uint16_t maxPayload = 0;
    uint32_t applicationSize = 0;
    std::string target;
    std::string firmwareVersion;
    std::string serialNumber;
    std::string info;
    // Version 2 and later: page writes the bootloader takes in flight (its
    // receive buffer); version 1 has none and is served one page at a time.
    uint8_t window = 0;
};

std::string EncodeHello(const HelloInfo &hello);
std::optional<HelloInfo> ParseHello(std::string_view payload);

struct RangeRequest {
    uint32_t start = 0;
    uint32_t length = 0;
};
std::string EncodeRange(uint32_t start, uint32_t length);
std::optional<RangeRequest> ParseRange(std::string_view payload);

struct FinishRequest {
    uint32_t start = 0;
    uint32_t length = 0;
    uint32_t crc = 0;
    std::string version;
};
std::string EncodeFinish(const FinishRequest &finish);
std::optional<FinishRequest> ParseFinish(std::string_view payload);

void PutLe16(std::string &out, uint16_t v);
void PutLe32(std::string &out, uint32_t v);
uint16_t GetLe16(std::string_view bytes, size_t at);
uint32_t GetLe32(std::string_view bytes, size_t at);
