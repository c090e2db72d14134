#pragma once

#include "crc32.h"   // Crc32 guards the firmware image

#include <cstddef>
#include <cstdint>
#include <string_view>

// CRC-16/CCITT-FALSE (polynomial 0x1021, start 0xFFFF): guards each frame.
uint16_t Crc16(const void *data, size_t length, uint16_t crc = 0xFFFF);
inline uint16_t Crc16(std::string_view bytes) { return Crc16(bytes.data(), bytes.size()); }
