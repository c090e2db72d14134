#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// A read-only view of a message-object catalogue held in memory (usually a
// mapped file). Parse() checks every table and string bound against the
// buffer once, so lookups afterwards can read without further checks. The
// view does not own the bytes.
class MoCatalogue {
public:
    static constexpr uint32_t kMagic = 0x950412de;
    static constexpr uint32_t kMagicSwapped = 0xde120495;
    static constexpr size_t kHeaderSize = 20;

    // Empty when the bytes are not a well-formed catalogue.
    static std::optional<MoCatalogue> Parse(std::string_view bytes);

    uint32_t Count() const { return count_; }
    bool BigEndian() const { return swapped_; }
    std::string_view Original(uint32_t index) const
    {
        return bytes_.substr(index_[index].offset, index_[index].length);
    }
    std::string_view Translation(uint32_t index) const { return StringAt(translations_, index); }

    // The translation of key, found by the power-of-two binary search over
    // the byte-sorted identifiers; empty when the key is not there.
    std::optional<std::string_view> Find(std::string_view key) const;

private:
    MoCatalogue(std::string_view bytes, bool swapped, uint32_t count, uint32_t originals,
                uint32_t translations);

    uint32_t Word(uint64_t offset) const;
    std::string_view StringAt(uint32_t table, uint32_t index) const;

    std::string_view bytes_;
    bool swapped_;
    uint32_t count_;
    uint32_t originals_;
    uint32_t translations_;
    // The identifiers table in native byte order, with the first sixteen
    // bytes of every identifier as two big-endian numbers: most probes of
    // the search compare words in this compact array instead of touching
    // the identifier itself.
    struct Identifier {
        uint64_t head;
        uint64_t next;
        uint32_t offset;
        uint32_t length;
    };
    std::vector<Identifier> index_;
};
