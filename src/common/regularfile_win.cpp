#include "regularfile.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace {

std::wstring Wide(const std::string &utf8)
{
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

} // namespace

// Windows has no FIFOs in the file system; a device name (CON, a COM port)
// opens as something that is not a regular file and is refused alike.
int OpenRegularFile(const std::string &name, uint64_t limit)
{
    const int fd = ::_wopen(Wide(name).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0)
        return -1;
    struct _stat64 st {};
    int error = 0;
    if (::_fstat64(fd, &st) != 0)
        error = errno;
    else if ((st.st_mode & _S_IFMT) != _S_IFREG)
        error = EINVAL;
    else if (static_cast<uint64_t>(st.st_size) > limit)
        error = EFBIG;
    if (error != 0) {
        ::_close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool RegularFileSize(int fd, uint64_t &size)
{
    struct _stat64 st {};
    if (::_fstat64(fd, &st) != 0)
        return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

int64_t ReadRegularFileAt(int fd, char *buffer, size_t length, uint64_t offset)
{
    if (::_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0)
        return -1;
    return ::_read(fd, buffer, static_cast<unsigned>(std::min<size_t>(length, 1u << 30)));
}

void CloseRegularFile(int fd)
{
    ::_close(fd);
}
