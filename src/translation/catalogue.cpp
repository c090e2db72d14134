#include "catalogue.h"

#include <cstring>

namespace {

uint32_t ReadWord(const char *at, bool swapped)
{
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return swapped ? __builtin_bswap32(value) : value;
}

// Every table entry must point inside the buffer; a string need not be
// followed by its NUL, since lookups use the stored length.
bool TableFits(std::string_view bytes, bool swapped, uint64_t table, uint64_t count)
{
    const uint64_t size = bytes.size();
    if (table > size || count * 8 > size - table)
        return false;
    const char *entry = bytes.data() + table;
    for (uint64_t i = 0; i < count; ++i, entry += 8) {
        const uint64_t length = ReadWord(entry, swapped);
        const uint64_t offset = ReadWord(entry + 4, swapped);
        if (offset > size || length > size - offset)
            return false;
    }
    return true;
}

// Zero-padded, so a shorter string that is a prefix of a longer one still
// sorts first or ties (ties fall back to the full comparison).
uint64_t Prefix(std::string_view text, size_t from)
{
    uint64_t value = 0;
    for (size_t i = from; i < from + 8; ++i)
        value = (value << 8) | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
    return value;
}

} // namespace

MoCatalogue::MoCatalogue(std::string_view bytes, bool swapped, uint32_t count, uint32_t originals,
                         uint32_t translations)
    : bytes_(bytes), swapped_(swapped), count_(count), originals_(originals), translations_(translations)
{
    index_.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const std::string_view original = StringAt(originals_, i);
        index_.push_back({Prefix(original, 0), Prefix(original, 8), Word(originals_ + uint64_t{i} * 8 + 4), Word(originals_ + uint64_t{i} * 8)});
    }
}

std::optional<MoCatalogue> MoCatalogue::Parse(std::string_view bytes)
{
    if (bytes.size() < kHeaderSize)
        return std::nullopt;
    const uint32_t magic = ReadWord(bytes.data(), false);
    if (magic != kMagic && magic != kMagicSwapped)
        return std::nullopt;
    const bool swapped = magic == kMagicSwapped;
    const uint32_t count = ReadWord(bytes.data() + 8, swapped);
    const uint32_t originals = ReadWord(bytes.data() + 12, swapped);
    const uint32_t translations = ReadWord(bytes.data() + 16, swapped);
    if (!TableFits(bytes, swapped, originals, count) || !TableFits(bytes, swapped, translations, count))
        return std::nullopt;
    return MoCatalogue(bytes, swapped, count, originals, translations);
}

uint32_t MoCatalogue::Word(uint64_t offset) const
{
    return ReadWord(bytes_.data() + offset, swapped_);
}

std::string_view MoCatalogue::StringAt(uint32_t table, uint32_t index) const
{
    const uint64_t entry = table + uint64_t{index} * 8;
    return bytes_.substr(Word(entry + 4), Word(entry));
}

std::optional<std::string_view> MoCatalogue::Find(std::string_view key) const
{
    if (count_ == 0)
        return std::nullopt;
    // 1-based probe index: start at the largest power of two not above N and
    // halve the step; the clamps keep the probe inside 1..N.
    uint32_t probe = 1;
    while (probe <= count_ / 2)
        probe *= 2;
    uint32_t step = probe / 2;
    const uint64_t keyHead = Prefix(key, 0);
    const uint64_t keyNext = Prefix(key, 8);
    for (;;) {
        const Identifier &identifier = index_[probe - 1];
        int order;
        if (keyHead != identifier.head)
            order = keyHead < identifier.head ? -1 : 1;
        else if (keyNext != identifier.next)
            order = keyNext < identifier.next ? -1 : 1;
        else
            order = key.compare(Original(probe - 1));
        if (order == 0)
            return Translation(probe - 1);
        if (step == 0)
            return std::nullopt;
        if (order < 0)
            probe = probe > step ? probe - step : 1;
        else
            probe = count_ - probe > step ? probe + step : count_;
        step /= 2;
    }
}
