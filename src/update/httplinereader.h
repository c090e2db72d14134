#pragma once

#include <cstddef>
#include <string>

// Collects one reply line from bytes as they arrive. A line ends at LF; a CR
// just before it is dropped. Lines longer than the limit raise
// EHttpInvalidReply instead of growing without bound.
class HttpLineReader {
public:
    static constexpr size_t kMaxLineLength = 100 * 1024;

    // Takes bytes up to and including the next LF; returns how many it took.
    size_t Feed(const char *data, size_t length);

    bool Ready() const { return ready_; }
    const std::string &Line() const { return line_; }
    // Forgets the completed (or partial) line.
    void Clear();

private:
    std::string line_;
    bool ready_ = false;
};
