#include "privatecopy.h"

#include "fileio.h"
#include "filemessage.h"
#include "messagetranslation.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const char *pattern, const std::string &name, int error)
{
    EFCreateError failure(FileMessage(pattern, name));
    failure.SetInformative(name + ": " + std::strerror(error));
    throw failure;
}

// Sealed: neither this process nor anyone who reaches the descriptor can
// change, grow or shrink it once written.
int SealedMemoryFile(std::string_view bytes)
{
    const int fd = ::memfd_create("firmware.acy", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    if (!WriteAll(fd, bytes) ||
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0 ||
        ::access(("/proc/self/fd/" + std::to_string(fd)).c_str(), R_OK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

PrivateCopy::PrivateCopy(std::string_view bytes)
{
    if (const int fd = SealedMemoryFile(bytes); fd >= 0) {
        handle_ = fd;
        path_ = "/proc/self/fd/" + std::to_string(fd);
        return;
    }
    // No memory files or no /proc: a folder only this user may enter, which
    // no other user can plant a link in or swap a file of.
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/karvenzop-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        Fail("Cannot create file %s", pattern, errno);
    folder_ = pattern;
    path_ = folder_ + "/firmware.acy";
    const int fd = ::open(path_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0400);
    if (fd < 0) {
        const int error = errno;
        ::rmdir(folder_.c_str());
        Fail("Cannot create file %s", path_, error);
    }
    if (!WriteAll(fd, bytes) || ::close(fd) != 0) {
        const int error = errno;
        ::unlink(path_.c_str());
        ::rmdir(folder_.c_str());
        Fail("Cannot create file %s", path_, error);
    }
}

PrivateCopy::~PrivateCopy()
{
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    if (!folder_.empty()) {
        ::unlink(path_.c_str());
        ::rmdir(folder_.c_str());
    }
}
