#include "eventwait.h"

#include "mainthreadsync.h"
#include "outqueue.h"
#include "textout.h"

#include <algorithm>

namespace cli {

EventWait::Result EventWait::Until(const std::function<bool()> &done, Clock::time_point deadline)
{
    return Wait(done, deadline, true);
}

EventWait::Result EventWait::Wait(const std::function<bool()> &done, Clock::time_point deadline, bool stopEnds)
{
    for (;;) {
        if (done && done())
            return Result::Done;
        if (stopped_ && stopEnds)
            return Result::Stopped;
        int timeout = -1;
        if (deadline != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return Result::TimedOut;
            timeout = static_cast<int>(std::min<long long>(left, 60000));
        }
        if (!WaitOnce(timeout))
            return Result::Stopped;
    }
}

void EventWait::Pause(int milliseconds)
{
    // A command sequence keeps its pacing to its end; a stop is seen afterwards.
    Wait(nullptr, Clock::now() + std::chrono::milliseconds(milliseconds), false);
}

bool EventWait::FinishOutput(OutQueue &queue)
{
    if (!stopped_)
        Until([&] { return !queue.Waiting() || queue.ReaderGone(); });
    queue.Flush();
    if (queue.ReaderGone())
        return false;
    if (const long dropped = queue.Dropped(); dropped > 0)
        PrintError(std::to_string(dropped) + (dropped == 1 ? " line" : " lines") + " dropped: the output was not read");
    return true;
}

void EventWait::RunPending()
{
    MainThreadSync::Instance().CheckSynchronize();
}

} // namespace cli
