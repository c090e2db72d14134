#include "mappedfile.h"

#include "exception.h"
#include "regularfile.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <unistd.h>

void MappedFile::Release() noexcept
{
    owned_.clear();
    owned_.shrink_to_fit();
    base_ = nullptr;
    length_ = 0;
    view_ = {};
}

MappedFile MappedFile::Map(const std::string &name, uint64_t offset, uint64_t size, uint64_t limit)
{
    // The whole file must be a bounded regular file, even when only a range is
    // wanted: the program file holding embedded catalogues is bounded too.
    const uint64_t fileLimit = offset == 0 && size == kToEnd ? limit : ~uint64_t{0};
    const int fd = OpenRegularFile(name, fileLimit);
    if (fd < 0 && errno == EINVAL)
        throw Exception("Cannot create memory map on file " + name);
    if (fd < 0)
        throw Exception("Cannot open file " + name);
    std::string bytes;
    const bool read = ReadRegularFile(fd, limit, bytes, offset, size);
    const int error = errno;
    ::close(fd);
    if (!read) {
        if (error == EFBIG)
            throw Exception("Cannot open file " + name);
        throw Exception("Cannot map file " + name + " into memory. Reason: " + std::strerror(error));
    }
    MappedFile mapped;
    mapped.owned_.assign(bytes.begin(), bytes.end());
    mapped.view_ = std::string_view(mapped.owned_.data(), mapped.owned_.size());
    return mapped;
}
