#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

// The event log's lines, stored compactly: the tool may monitor a decoder for
// days, so a line costs its bytes plus a 16-byte reference (its arrival time
// included), and texts live in large shared blocks instead of one allocation
// per line.
class EventLogLines {
public:
    // Stamps the line with the wall clock.
    void Append(std::string_view line);
    void Append(std::string_view line, int64_t msecsSinceEpoch);
    void Clear();
    int Count() const { return static_cast<int>(refs_.size()); }
    std::string_view Line(int index) const;
    // Arrival time, milliseconds since the epoch (UTC).
    int64_t Time(int index) const;
    size_t BytesReserved() const;

private:
    struct Ref {
        uint32_t block;
        uint32_t offset;
        uint32_t length;
        uint32_t msecs;   // after the block's base time: a block spans at most 49 days
    };
    struct Block {
        std::unique_ptr<char[]> bytes;
        size_t size;
        int64_t baseMsecs;
    };
    static constexpr size_t BlockSize = 1 << 20;

    std::vector<Block> blocks_;
    size_t used_ = 0;   // bytes used in the last block
    std::vector<Ref> refs_;
};
