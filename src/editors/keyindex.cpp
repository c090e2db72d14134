#include "keyindex.h"

#include "cp1252.h"
#include "text8bit.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace {

std::string_view KeyOfLine(const std::string &line)
{
    const void *eq = std::memchr(line.data(), '=', line.size());
    return eq ? std::string_view(line.data(), static_cast<size_t>(static_cast<const char *>(eq) - line.data()))
              : std::string_view();
}

bool Ascii(std::string_view text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// Byte by byte where a byte is a character: always in Windows-1252, and for
// ASCII keys (the usual FMS identifiers) in UTF-8 too.
bool BytewiseFolding(TextEncoding encoding, std::string_view key)
{
    return encoding == TextEncoding::Windows1252 || Ascii(key);
}

bool EqualFolded(TextEncoding encoding, std::string_view a, std::string_view b)
{
    if (!BytewiseFolding(encoding, a) || !BytewiseFolding(encoding, b))
        return FoldCase(a, encoding) == FoldCase(b, encoding);
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (cp1252::FoldCase(static_cast<unsigned char>(a[i])) != cp1252::FoldCase(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A per-process seed keeps a crafted file from piling all keys into one chain.
uint64_t Seed()
{
    static const uint64_t seed = (static_cast<uint64_t>(std::random_device{}()) << 32) | std::random_device{}();
    return seed;
}

} // namespace

uint32_t KeyIndex::Hash(std::string_view key) const
{
    std::string folded;
    if (!BytewiseFolding(encoding_, key)) {
        folded = FoldCase(key, encoding_);
        key = folded;
    }
    uint64_t h = 0xcbf29ce484222325ULL ^ Seed();
    for (const char c : key) {
        h ^= cp1252::FoldCase(static_cast<unsigned char>(c));
        h *= 0x100000001b3ULL;
    }
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 32;
    return static_cast<uint32_t>(h);
}

size_t KeyIndex::Locate(const Lines &lines, std::string_view key, uint32_t hash) const
{
    if (slots_.empty())
        return npos;
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot &slot = slots_[i];
        if (slot.linePlusOne == 0)
            return npos;
        if (slot.hash == hash && EqualFolded(encoding_, KeyOfLine(lines[slot.linePlusOne - 1]), key))
            return i;
    }
}

size_t KeyIndex::Find(const Lines &lines, std::string_view key) const
{
    if (key.empty())
        return npos;
    const size_t at = Locate(lines, key, Hash(key));
    return at == npos ? npos : slots_[at].linePlusOne - 1;
}

void KeyIndex::Place(Slot slot)
{
    const size_t mask = slots_.size() - 1;
    size_t i = slot.hash & mask;
    while (slots_[i].linePlusOne != 0)
        i = (i + 1) & mask;
    slots_[i] = slot;
}

void KeyIndex::Grow(size_t capacity)
{
    size_t size = 16;
    while (size < capacity * 2)
        size *= 2;
    if (size <= slots_.size())
        return;
    std::vector<Slot> old(size);
    old.swap(slots_);
    for (const Slot &slot : old)
        if (slot.linePlusOne != 0)
            Place(slot);
}

void KeyIndex::Reserve(size_t keys) { Grow(keys); }

void KeyIndex::Add(const Lines &lines, size_t line)
{
    const std::string_view key = KeyOfLine(lines[line]);
    if (key.empty())
        return;
    if ((used_ + 1) * 2 > slots_.size())
        Grow(used_ + 1);
    Place(Slot{static_cast<uint32_t>(line + 1), Hash(key)});
    ++used_;
}

void KeyIndex::Remove(const Lines &lines, size_t line)
{
    const std::string_view key = KeyOfLine(lines[line]);
    if (key.empty())
        return;
    size_t hole = Locate(lines, key, Hash(key));
    if (hole == npos || slots_[hole].linePlusOne != line + 1)
        return;
    // Backward-shift deletion keeps every probe chain unbroken without tombstones.
    const size_t mask = slots_.size() - 1;
    for (size_t next = (hole + 1) & mask; slots_[next].linePlusOne != 0; next = (next + 1) & mask) {
        const size_t home = slots_[next].hash & mask;
        // Move `next` into the hole unless its home lies cyclically in (hole, next].
        const bool homeAfterHole = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
        if (!homeAfterHole) {
            slots_[hole] = slots_[next];
            hole = next;
        }
    }
    slots_[hole] = Slot{};
    --used_;
}

void KeyIndex::ShiftFrom(size_t first, std::ptrdiff_t delta)
{
    for (Slot &slot : slots_)
        if (slot.linePlusOne != 0 && slot.linePlusOne - 1 >= first)
            slot.linePlusOne = static_cast<uint32_t>(static_cast<std::ptrdiff_t>(slot.linePlusOne) + delta);
}

void KeyIndex::SetEncoding(TextEncoding encoding)
{
    Clear();
    encoding_ = encoding;
}

void KeyIndex::Clear()
{
    std::fill(slots_.begin(), slots_.end(), Slot{});
    used_ = 0;
}
