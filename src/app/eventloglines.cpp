#include "eventloglines.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

int EventLogLines::Append(std::string_view line)
{
    using namespace std::chrono;
    return Append(line, duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

int EventLogLines::Append(std::string_view line, int64_t msecsSinceEpoch)
{
    const size_t length = line.size();
    const bool timeFits = !blocks_.empty() && msecsSinceEpoch >= blocks_.back().baseMsecs &&
                          msecsSinceEpoch - blocks_.back().baseMsecs <= std::numeric_limits<uint32_t>::max();
    if (blocks_.empty() || used_ + length > blocks_.back().size || !timeFits) {
        // A line larger than a block gets a block of its own size.
        const size_t size = std::max(BlockSize, length);
        blocks_.push_back({std::make_unique_for_overwrite<char[]>(size), size, msecsSinceEpoch});
        used_ = 0;
    }
    Block &block = blocks_.back();
    std::memcpy(block.bytes.get() + used_, line.data(), length);
    refs_.push_back({static_cast<uint32_t>(firstBlock_ + blocks_.size() - 1), static_cast<uint32_t>(used_),
                     static_cast<uint32_t>(length), static_cast<uint32_t>(msecsSinceEpoch - block.baseMsecs)});
    used_ += length;
    ++block.lines;
    return DropOldBlocks();
}

int EventLogLines::DropOldBlocks()
{
    int dropped = 0;
    while (blocks_.size() > 1) {
        const size_t inFirst = blocks_.front().lines;
        if (refs_.size() - inFirst < static_cast<size_t>(KeptLines))
            break;
        refs_.erase(refs_.begin(), refs_.begin() + static_cast<std::ptrdiff_t>(inFirst));
        blocks_.pop_front();
        ++firstBlock_;
        dropped += static_cast<int>(inFirst);
    }
    return dropped;
}

void EventLogLines::Clear()
{
    refs_.clear();
    refs_.shrink_to_fit();
    blocks_.clear();
    blocks_.shrink_to_fit();
    firstBlock_ = 0;
    used_ = 0;
}

std::string_view EventLogLines::Line(int index) const
{
    const Ref &ref = refs_.at(static_cast<size_t>(index));
    return {BlockOf(ref).bytes.get() + ref.offset, ref.length};
}

int64_t EventLogLines::Time(int index) const
{
    const Ref &ref = refs_.at(static_cast<size_t>(index));
    return BlockOf(ref).baseMsecs + ref.msecs;
}

size_t EventLogLines::BytesReserved() const
{
    size_t bytes = refs_.size() * sizeof(Ref) + blocks_.size() * sizeof(Block);
    for (const Block &block : blocks_)
        bytes += block.size;
    return bytes;
}
