#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>
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
        return bytes_.substr(entries_[index].originalOffset, entries_[index].originalLength);
    }
    std::string_view Translation(uint32_t index) const
    {
        return bytes_.substr(entries_[index].translationOffset, entries_[index].translationLength);
    }

    // The translation of key, found by the power-of-two binary search over
    // the byte-sorted identifiers; empty when the key is not there.
    std::optional<std::string_view> Find(std::string_view key) const;

private:
    MoCatalogue(std::string_view bytes, bool swapped, uint32_t count, uint32_t originals,
                uint32_t translations);

    uint32_t Word(uint64_t offset) const;
    void BuildSearchTree();

    // Cache-line aligned storage, so that the eight nodes three levels
    // below a node fill exactly four lines.
    template <typename T>
    struct LineAligned {
        using value_type = T;
        LineAligned() = default;
        template <typename U>
        LineAligned(const LineAligned<U> &) {}
        T *allocate(size_t n) { return static_cast<T *>(::operator new(n * sizeof(T), std::align_val_t(64))); }
        void deallocate(T *p, size_t) { ::operator delete(p, std::align_val_t(64)); }
        template <typename U>
        bool operator==(const LineAligned<U> &) const { return true; }
    };

    std::string_view bytes_;
    bool swapped_;
    uint32_t count_;
    // Both tables in native byte order, in the file's (sorted) order.
    struct Entry {
        uint32_t originalOffset;
        uint32_t originalLength;
        uint32_t translationOffset;
        uint32_t translationLength;
    };
    std::vector<Entry> entries_;
    // The search's probe sequence unrolled into an implicit binary tree:
    // node h (from 1) holds the identifier the search compares at that point
    // and its children 2h (key smaller) and 2h + 1 (key larger) the next
    // probe. The same identifiers are compared in the same order as by the
    // plain index arithmetic, but the upper levels share a few cache lines
    // and the lower ones can be fetched ahead. A node holds the first
    // sixteen bytes of its identifier as two big-endian numbers (zero-padded),
    // so that most probes settle without touching the identifier, and a
    // copy of its entry, so that the match costs no further indirection.
    struct Node {
        uint64_t head;
        uint64_t next;
        Entry entry;
    };
    static_assert(sizeof(Node) == 32);
    std::vector<Node, LineAligned<Node>> nodes_;
    uint32_t levels_ = 0;
};
