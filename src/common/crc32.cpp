#include "crc32.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> MakeCrc32Table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr auto kCrc32Table = MakeCrc32Table();

} // namespace

uint32_t Crc32(const void *data, size_t length, uint32_t previous)
{
    const auto *p = static_cast<const uint8_t *>(data);
    uint32_t crc = ~previous;
    for (size_t i = 0; i < length; ++i)
        crc = (crc >> 8) ^ kCrc32Table[(crc ^ p[i]) & 0xFF];
    return ~crc;
}
