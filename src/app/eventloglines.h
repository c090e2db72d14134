#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>
#include <vector>

// The event log's lines, stored compactly: the tool may monitor a decoder for
// days, so a line costs its bytes plus a 16-byte reference (its arrival time
// included), and texts live in large shared blocks instead of one allocation
// per line. A tool left watching a busy site for weeks keeps the newest
// KeptLines lines at least: the oldest block goes, with all its lines, once
// the lines after it number that many.
class EventLogLines {
public:
    static constexpr int KeptLines = 1'000'000;

    // Stamps the line with the wall clock. Both return how many of the
    // oldest lines were dropped to make room (0 mostly).
    int Append(std::string_view line);
    int Append(std::string_view line, int64_t msecsSinceEpoch);
    void Clear();
    int Count() const { return static_cast<int>(refs_.size()); }
    std::string_view Line(int index) const;
    // Arrival time, milliseconds since the epoch (UTC).
    int64_t Time(int index) const;
    size_t BytesReserved() const;

private:
    struct Ref {
        uint32_t block;   // counts from the first block ever made
        uint32_t offset;
        uint32_t length;
        uint32_t msecs;   // after the block's base time: a block spans at most 49 days
    };
    struct Block {
        std::unique_ptr<char[]> bytes;
        size_t size;
        int64_t baseMsecs;
        size_t lines = 0;
    };
    static constexpr size_t BlockSize = 1 << 20;

    int DropOldBlocks();
    const Block &BlockOf(const Ref &ref) const { return blocks_[ref.block - firstBlock_]; }

    std::deque<Block> blocks_;
    uint32_t firstBlock_ = 0;   // the number of blocks_.front()
    size_t used_ = 0;   // bytes used in the last block
    std::deque<Ref> refs_;
};
