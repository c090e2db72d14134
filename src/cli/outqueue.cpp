#include "outqueue.h"

namespace cli {

void OutQueue::Add(std::string line)
{
    if (gone_)
        return;
    // A line larger than the whole queue still goes out once the queue is empty.
    if (!lines_.empty() && bytes_ + line.size() > LimitBytes) {
        ++dropped_;
        return;
    }
    bytes_ += line.size();
    lines_.push_back(std::move(line));
    Flush();
}

void OutQueue::Flush()
{
    while (!lines_.empty() && !gone_) {
        const std::string &front = lines_.front();
        const long put = WriteSome(std::string_view(front).substr(sent_));
        if (put < 0) {
            // Nobody is left to read what waits: it is not counted as dropped.
            gone_ = true;
            lines_.clear();
            bytes_ = 0;
            return;
        }
        if (put == 0)
            return;
        sent_ += static_cast<size_t>(put);
        if (sent_ < front.size())
            continue;
        bytes_ -= front.size();
        sent_ = 0;
        lines_.pop_front();
    }
}

} // namespace cli
