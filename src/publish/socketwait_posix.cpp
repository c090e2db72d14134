#include "socketwait.h"

#include <cerrno>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace publish {

WakeSignal::WakeSignal()
{
    if (::pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make a pipe for the broker link");
}

WakeSignal::~WakeSignal()
{
    ::close(fds_[0]);
    ::close(fds_[1]);
}

void WakeSignal::Raise()
{
    const char byte = 1;
    // A full pipe already wakes the reader.
    [[maybe_unused]] const ssize_t put = ::write(fds_[1], &byte, 1);
}

bool WakeSignal::Clear()
{
    char drain[64];
    bool any = false;
    while (::read(fds_[0], drain, sizeof drain) > 0)
        any = true;
    return any;
}

SocketReady WaitForSocket(const WakeSignal &wake, int socket, bool wantWrite, int timeoutMs)
{
    pollfd fds[2] = {{wake.Fd(), POLLIN, 0}, {socket, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}};
    const int n = ::poll(fds, socket >= 0 ? 2 : 1, timeoutMs);
    if (n <= 0 || socket < 0)
        return {};
    return ReadyFrom<short>(fds[1].revents, POLLIN, POLLOUT, POLLERR | POLLHUP);
}

} // namespace publish
