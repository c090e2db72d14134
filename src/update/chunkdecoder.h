#pragma once

#include "httplinereader.h"

#include <cstddef>
#include <cstdint>

// Decodes a chunked body from bytes as they arrive; it does no I/O. Each
// Step() does one thing: it takes (part of) a line, or hands back payload
// bytes in place, so the caller can mark where each chunk starts and ends.
class ChunkDecoder {
public:
    enum class Stage { SizeLine, Data, DataEnd, Trailer, Done };

    struct StepResult {
        size_t consumed = 0;
        const char *data = nullptr;  // payload inside the consumed bytes
        size_t dataLength = 0;
        bool chunkStarted = false;   // a size line announced ChunkSize() bytes
        bool chunkFinished = false;  // the chunk's last payload byte was in this step
    };

    // Raises EHttpInvalidReply for a size of more than 16 hex digits or one
    // that does not fit a signed 64-bit count.
    StepResult Step(const char *data, size_t length);

    Stage State() const { return state_; }
    bool Done() const { return state_ == Stage::Done; }
    uint64_t ChunkSize() const { return chunkSize_; }
    uint64_t DataRemaining() const { return remaining_; }

    void Reset();

private:
    uint64_t ParseSizeLine(const std::string &line) const;

    HttpLineReader lineReader_;
    Stage state_ = Stage::SizeLine;
    uint64_t chunkSize_ = 0;
    uint64_t remaining_ = 0;
};
