#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace cli {

// stdout for the monitor, which must keep reading the port and stay
// stoppable when its reader does not read: stdout is written without
// waiting while this lives, and lines wait here for the reader. Past
// LimitBytes a new line is dropped and counted instead.
class OutQueue {
public:
    static constexpr size_t LimitBytes = 64 * 1024;

    OutQueue();
    ~OutQueue();
    OutQueue(const OutQueue &) = delete;
    OutQueue &operator=(const OutQueue &) = delete;

    // Queues the line and writes what stdout takes now.
    void Add(std::string line);
    // Writes what stdout takes now; called again when it can take more.
    void Flush();

    bool Waiting() const { return !lines_.empty(); }
    bool ReaderGone() const { return gone_; }
    // Lines dropped so far, with those still waiting when asked.
    long Dropped() const { return dropped_ + static_cast<long>(lines_.size()); }

private:
    // Per system: how many bytes stdout took without waiting (0 when it
    // is full), -1 when the reader has gone.
    static long WriteSome(std::string_view bytes);

    std::deque<std::string> lines_;
    size_t bytes_ = 0;   // queued, the front line whole
    size_t sent_ = 0;    // of the front line
    long dropped_ = 0;
    bool gone_ = false;
    int savedFlags_ = -1;
};

} // namespace cli
