#include "mappedfile.h"

#include "exception.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

void MappedFile::Release() noexcept
{
    if (base_ != nullptr)
        ::munmap(base_, length_);
    base_ = nullptr;
    length_ = 0;
    view_ = {};
}

MappedFile MappedFile::Map(const std::string &name, uint64_t offset, uint64_t size)
{
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Exception("Cannot open file " + name);
    struct stat st {};
    const bool statted = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!statted) {
        ::close(fd);
        throw Exception("Cannot create memory map on file " + name);
    }

    MappedFile mapped;
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    if (offset >= fileSize) {
        ::close(fd);
        return mapped;
    }
    if (size == kToEnd || size > fileSize - offset)
        size = fileSize - offset;
    if (size == 0) {
        ::close(fd);
        return mapped;
    }

    // mmap wants a page-aligned file offset; the view skips the lead-in.
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    const uint64_t aligned = offset - offset % page;
    const uint64_t leadIn = offset - aligned;
    const size_t length = static_cast<size_t>(leadIn + size);
    void *base = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(aligned));
    const int error = errno;
    ::close(fd);
    if (base == MAP_FAILED)
        throw Exception("Cannot map file " + name + " into memory. Reason: " + std::strerror(error));

    mapped.base_ = base;
    mapped.length_ = length;
    mapped.view_ = std::string_view(static_cast<const char *>(base) + leadIn, static_cast<size_t>(size));
    return mapped;
}
