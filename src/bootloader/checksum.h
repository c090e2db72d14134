#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// CRC-16/CCITT-FALSE (polynomial 0x1021, start 0xFFFF): guards each frame.
uint16_t Crc16(const void *data, size_t length, uint16_t crc = 0xFFFF);
inline uint16_t Crc16(std::string_view bytes) { return Crc16(bytes.data(), bytes.size()); }

// CRC-32 as used by zip and Ethernet (reflected 0xEDB88320): guards the
// firmware image. Pass the previous result to continue over more bytes.
uint32_t Crc32(const void *data, size_t length, uint32_t previous = 0);
inline uint32_t Crc32(std::string_view bytes) { return Crc32(bytes.data(), bytes.size()); }
