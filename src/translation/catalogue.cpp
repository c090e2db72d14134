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
    if (text.size() >= from + 8) {
        uint64_t value;
        std::memcpy(&value, text.data() + from, sizeof value);
        return __builtin_bswap64(value);
    }
    uint64_t value = 0;
    for (size_t i = from; i < from + 8; ++i)
        value = (value << 8) | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
    return value;
}

} // namespace

MoCatalogue::MoCatalogue(std::string_view bytes, bool swapped, uint32_t count, uint32_t originals,
                         uint32_t translations)
    : bytes_(bytes), swapped_(swapped), count_(count)
{
    entries_.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t original = originals + uint64_t{i} * 8;
        const uint64_t translation = translations + uint64_t{i} * 8;
        entries_.push_back({Word(original + 4), Word(original), Word(translation + 4), Word(translation)});
    }
    BuildSearchTree();
}

void MoCatalogue::BuildSearchTree()
{
    if (count_ == 0)
        return;
    // 1-based probe index: start at the largest power of two not above N and
    // halve the step; the clamps keep the probe inside 1..N. A probe with
    // step zero is the last one.
    uint64_t first = 1;
    while (first <= count_ / 2)
        first *= 2;
    levels_ = 1;
    while ((uint64_t{1} << (levels_ - 1)) < first)
        ++levels_;
    const uint64_t nodes = uint64_t{1} << levels_;  // node 0 unused
    nodes_.assign(nodes, Node{});
    std::vector<uint32_t> probe(nodes, 0);
    probe[1] = static_cast<uint32_t>(first);
    for (uint64_t node = 1; node < nodes; ++node) {
        const uint32_t at = probe[node];
        const std::string_view original = Original(at - 1);
        nodes_[node] = {Prefix(original, 0), Prefix(original, 8), entries_[at - 1]};
        if (node >= nodes / 2)
            continue;  // last level
        const uint64_t level = 63 - __builtin_clzll(node);
        const uint64_t step = first >> (level + 1);
        probe[2 * node] = at > step ? static_cast<uint32_t>(at - step) : 1;
        probe[2 * node + 1] = count_ - at > step ? static_cast<uint32_t>(at + step) : count_;
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

std::optional<std::string_view> MoCatalogue::Find(std::string_view key) const
{
    if (count_ == 0)
        return std::nullopt;
    const uint64_t keyHead = Prefix(key, 0);
    const uint64_t keyNext = Prefix(key, 8);
    const uint64_t count = nodes_.size();
    const Node *nodes = nodes_.data();
    uint64_t node = 1;
    for (uint32_t level = 1;; ++level) {
        // The eight possible nodes three levels down, fetched while this
        // level and the next two compare.
        if (node * 8 < count) {
            const char *ahead = reinterpret_cast<const char *>(nodes + node * 8);
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + 64);
            __builtin_prefetch(ahead + 128);
            __builtin_prefetch(ahead + 192);
        }
        const Node &probe = nodes[node];
        // Computed without branches: the direction is as good as random.
        bool greater = (keyHead > probe.head) | ((keyHead == probe.head) & (keyNext > probe.next));
        if (__builtin_expect((keyHead == probe.head) & (keyNext == probe.next), 0)) {
            // Sixteen bytes agree, so this is likely the match: start
            // fetching its translation while the rest is compared.
            const Entry &entry = probe.entry;
            __builtin_prefetch(bytes_.data() + entry.translationOffset);
            const int order = key.compare(bytes_.substr(entry.originalOffset, entry.originalLength));
            if (order == 0)
                return bytes_.substr(entry.translationOffset, entry.translationLength);
            greater = order > 0;
        }
        if (level == levels_)
            return std::nullopt;
        node = 2 * node + (greater ? 1 : 0);
    }
}
