// The stop signals write to a pipe; the wait is poll() on it, on the
// hand-over eventfd, on the watched device and, while output waits, on
// stdout taking more.
#include "eventwait.h"

#include "mainthreadsync.h"
#include "outqueue.h"

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
    // A closed terminal (SIGHUP) and Ctrl+\ (SIGQUIT) stop like Ctrl+C: the
    // monitor ends, a running firmware update does not.
    for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::sigaction(stop, &action, nullptr);
    // A reader that went away is seen as a failed write, not a signal.
    ::signal(SIGPIPE, SIG_IGN);
}

EventWait::~EventWait()
{
    for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::signal(stop, SIG_DFL);
}

bool EventWait::WaitOnce(int timeoutMs)
{
    MainThreadSync &sync = MainThreadSync::Instance();
    pollfd fds[3] = {{sync.WakeFd(), POLLIN, 0}, {signalPipe[0], POLLIN, 0}, {1, POLLOUT, 0}};
    const bool writing = output_ && output_->Waiting();
    const int n = ::poll(fds, writing ? 3 : 2, timeoutMs);
    if (n < 0 && errno != EINTR)
        return false;
    if (n <= 0)
        return true;
    if (fds[1].revents & POLLIN) {
        char drain[16];
        while (::read(signalPipe[0], drain, sizeof drain) > 0) {
        }
        stopped_ = true;
    }
    if (fds[0].revents & POLLIN)
        sync.CheckSynchronize();
    // A closed reader shows as POLLERR: the write then tells it.
    if (writing && fds[2].revents)
        output_->Flush();
    return true;
}

} // namespace cli
