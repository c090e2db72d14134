// stdout is switched to O_NONBLOCK and back: the file description may be
// shared with the shell (a terminal), which expects blocking writes again.
#include "outqueue.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace cli {

OutQueue::OutQueue()
{
    savedFlags_ = ::fcntl(1, F_GETFL);
    if (savedFlags_ >= 0 && !(savedFlags_ & O_NONBLOCK))
        ::fcntl(1, F_SETFL, savedFlags_ | O_NONBLOCK);
}

OutQueue::~OutQueue()
{
    if (savedFlags_ >= 0 && !(savedFlags_ & O_NONBLOCK))
        ::fcntl(1, F_SETFL, savedFlags_);
}

long OutQueue::WriteSome(std::string_view bytes)
{
    for (;;) {
        const ssize_t put = ::write(1, bytes.data(), bytes.size());
        if (put >= 0)
            return put;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

} // namespace cli
