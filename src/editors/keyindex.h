#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text8bit.h"

// A flat hash index over the keys of a list of "key=value" lines, compared
// regardless of case in the list's text encoding. It stores line numbers only and reads the
// keys from the lines the owner passes in, so loading a large file allocates
// nothing per line. The owner keeps it in step: Add/Remove a line's key,
// ShiftFrom when lines are inserted or removed before others.
class KeyIndex {
public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    using Lines = std::vector<std::string>;

    // The line whose key equals `key` ignoring case; npos for none or "".
    size_t Find(const Lines &lines, std::string_view key) const;
    // Registers lines[line]'s non-empty key, which must not be present yet.
    void Add(const Lines &lines, size_t line);
    // Forgets lines[line]'s key; it must still hold the key that was added.
    void Remove(const Lines &lines, size_t line);
    // Renumbers every line at or after `first` by `delta` (+1 or -1).
    void ShiftFrom(size_t first, std::ptrdiff_t delta);
    void Reserve(size_t keys);
    void Clear();
    // Empties the index and compares in `encoding` from now on.
    void SetEncoding(TextEncoding encoding);

private:
    struct Slot {
        uint32_t linePlusOne = 0; // 0: free
        uint32_t hash = 0;
    };

    uint32_t Hash(std::string_view key) const;
    size_t Locate(const Lines &lines, std::string_view key, uint32_t hash) const;
    void Place(Slot slot);
    void Grow(size_t capacity);

    std::vector<Slot> slots_; // power-of-two size, linear probing
    size_t used_ = 0;
    TextEncoding encoding_ = TextEncoding::Utf8;
};
