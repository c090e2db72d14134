#include "regularfile.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int OpenRegularFile(const std::string &name, uint64_t limit)
{
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st {};
    int error = 0;
    if (::fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (static_cast<uint64_t>(st.st_size) > limit)
        error = EFBIG;
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        error = errno;
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool ReadRegularFile(int fd, uint64_t limit, std::string &bytes, uint64_t offset, uint64_t size)
{
    bytes.clear();
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    const auto fileSize = static_cast<uint64_t>(st.st_size);
    if (offset > fileSize)
        offset = fileSize;
    const bool toEnd = size >= fileSize - offset;
    if (toEnd)
        size = fileSize - offset;
    if (size > limit) {
        errno = EFBIG;
        return false;
    }
    bytes.reserve(static_cast<size_t>(size));
    // Up to the end means up to where reading stops, which for a file that
    // grows meanwhile is one byte past the bound.
    const uint64_t want = toEnd ? limit + 1 : size;
    char piece[65536];
    uint64_t at = offset;
    while (bytes.size() < want) {
        const uint64_t ask = std::min<uint64_t>(sizeof piece, want - bytes.size());
        const ssize_t got = ::pread(fd, piece, static_cast<size_t>(ask), static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        bytes.append(piece, static_cast<size_t>(got));
        at += static_cast<uint64_t>(got);
    }
    if (bytes.size() > limit) {
        bytes.clear();
        errno = EFBIG;
        return false;
    }
    return true;
}

void CloseRegularFile(int fd)
{
    ::close(fd);
}
