#include "eventwait.h"

#include "mainthreadsync.h"

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace cli {

namespace {

int signalPipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

EventWait::EventWait()
{
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        signalPipe[0] = signalPipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    // A reader that went away is seen as a failed write, not a signal.
    ::signal(SIGPIPE, SIG_IGN);
}

EventWait::~EventWait()
{
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
}

EventWait::Result EventWait::Until(const std::function<bool()> &done, Clock::time_point deadline, int watchFd)
{
    return Wait(done, deadline, watchFd, true);
}

EventWait::Result EventWait::Wait(const std::function<bool()> &done, Clock::time_point deadline, int watchFd,
                                  bool stopEnds)
{
    MainThreadSync &sync = MainThreadSync::Instance();
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
        // events 0 on the device: only a hang-up or an error wakes us there.
        pollfd fds[3] = {{sync.WakeFd(), POLLIN, 0}, {signalPipe[0], POLLIN, 0}, {watchFd, 0, 0}};
        const int n = ::poll(fds, watchFd >= 0 ? 3 : 2, timeout);
        if (n < 0 && errno != EINTR)
            return Result::Stopped;
        if (n <= 0)
            continue;
        if (fds[1].revents & POLLIN) {
            char drain[16];
            while (::read(signalPipe[0], drain, sizeof drain) > 0) {
            }
            stopped_ = true;
        }
        if (fds[0].revents & POLLIN)
            sync.CheckSynchronize();
        if (watchFd >= 0 && (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)))
            return Result::HungUp;
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
