#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// CRC-32 as used by zip and Ethernet (reflected 0xEDB88320): guards the
// firmware image and the spool's records. Pass the previous result to
// continue over more bytes.
uint32_t Crc32(const void *data, size_t length, uint32_t previous = 0);
inline uint32_t Crc32(std::string_view bytes) { return Crc32(bytes.data(), bytes.size()); }
