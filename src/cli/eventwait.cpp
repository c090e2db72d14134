#include "eventwait.h"

#include "mainthreadsync.h"

#include <algorithm>

namespace cli {

EventWait::Result EventWait::Until(const std::function<bool()> &done, Clock::time_point deadline, int watchFd)
{
    return Wait(done, deadline, watchFd, true);
}

EventWait::Result EventWait::Wait(const std::function<bool()> &done, Clock::time_point deadline, int watchFd,
                                  bool stopEnds)
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
        switch (WaitOnce(timeout, watchFd)) {
        case Woke::Events:
            break;
        case Woke::HungUp:
            return Result::HungUp;
        case Woke::Failed:
            return Result::Stopped;
        }
    }
}

void EventWait::Pause(int milliseconds)
{
    // A command sequence keeps its pacing to its end; a stop is seen afterwards.
    Wait(nullptr, Clock::now() + std::chrono::milliseconds(milliseconds), -1, false);
}

void EventWait::RunPending()
{
    MainThreadSync::Instance().CheckSynchronize();
}

} // namespace cli
