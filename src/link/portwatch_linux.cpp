// inotify rather than udev's netlink messages: it also sees the links that
// socat, the decoder simulator and the like make outside /dev, and it works
// where no udev daemon runs (containers). /dev/pts is a mount of its own, so
// watching /dev does not cover it; virtual ports are reached through the
// folders of their KARVENZOP_PORTS paths.
#include "portwatch.h"

#include <cerrno>
#include <cstdint>

#include <sys/inotify.h>
#include <unistd.h>

PortWatch::~PortWatch()
{
    if (fd_ >= 0)
        close(fd_);
}

bool PortWatch::Start(const std::vector<std::string> &folders)
{
    if (fd_ < 0)
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0)
        return false;
    bool any = false;
    for (const std::string &folder : folders)
        any |= inotify_add_watch(fd_, folder.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                                          IN_ONLYDIR) >= 0;
    return any;
}

bool PortWatch::TakeChanges()
{
    if (fd_ < 0)
        return false;
    bool changed = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        // Any entry counts: a tty node, a by-id link, a virtual port's link.
        changed = true;
    }
    return changed;
}
