#include "checksum.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> MakeCrc16Table()
{
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int k = 0; k < 8; ++k)
            c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
        table[i] = c;
    }
    return table;
}

constexpr auto kCrc16Table = MakeCrc16Table();

} // namespace

uint16_t Crc16(const void *data, size_t length, uint16_t crc)
{
    const auto *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kCrc16Table[((crc >> 8) ^ p[i]) & 0xFF]);
    return crc;
}
