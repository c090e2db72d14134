#include "regularfile.h"

#include <algorithm>
#include <cerrno>

bool ReadRegularFile(int fd, uint64_t limit, std::string &bytes, uint64_t offset, uint64_t size)
{
    bytes.clear();
    uint64_t fileSize = 0;
    if (!RegularFileSize(fd, fileSize))
        return false;
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
        const size_t ask = static_cast<size_t>(std::min<uint64_t>(sizeof piece, want - bytes.size()));
        const int64_t got = ReadRegularFileAt(fd, piece, ask, at);
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
