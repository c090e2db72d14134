// Linux wake-up of the user-interface thread: an eventfd the event loop watches.
#include "mainthreadsync.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

MainThreadSync::MainThreadSync() : mainThread_(std::this_thread::get_id())
{
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0)
        std::abort(); // without it no port event could ever reach the UI
}

MainThreadSync::~MainThreadSync()
{
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

void MainThreadSync::Wake()
{
    const std::uint64_t one = 1;
    // The counter cannot overflow in practice; EAGAIN would still leave it readable.
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void MainThreadSync::DrainWake()
{
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
}

void MainThreadSync::WaitWhileSynchronizing(int fd)
{
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int n = poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents & POLLIN)
            CheckSynchronize();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
            return;
    }
}
