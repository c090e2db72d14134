#include "fileio.h"

#include "resourcestring.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Format1(std::string_view pattern, const std::string &arg)
{
    std::string text = TranslateResourceString(pattern);
    const auto at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, arg);
    return text;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { if (fd_ >= 0) ::close(fd_); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int release() { int fd = fd_; fd_ = -1; return fd; }
private:
    int fd_;
};

} // namespace

std::string LoadFileBytes(const std::string &name)
{
    Fd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        throw EFOpenError(Format1("Cannot open file %s", name));
    // Shared lock: readers may read alongside us, a writer's exclusive lock refuses us.
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0)
        throw EFOpenError(Format1("Cannot open file %s", name));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode))
        throw EFOpenError(Format1("Cannot open file %s", name));

    std::string bytes;
    if (st.st_size > 0)
        bytes.reserve(static_cast<size_t>(st.st_size));
    char piece[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), piece, sizeof piece);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw EFOpenError(Format1("Cannot open file %s", name));
        }
        if (got == 0)
            break;
        bytes.append(piece, static_cast<size_t>(got));
    }
    return bytes;
}

void SaveFileBytes(const std::string &name, std::string_view bytes)
{
    // The temporary file lives beside the target so the rename stays on one filesystem.
    std::string tmp = name + ".XXXXXX";
    int raw = ::mkstemp(tmp.data());
    if (raw < 0)
        throw EFCreateError(Format1("Cannot create file %s", name));
    Fd fd(raw);
    auto fail = [&](auto error) {
        ::unlink(tmp.c_str());
        throw error;
    };

    // Keep the permissions an existing file had; a new one gets the usual 0666 & ~umask.
    struct stat old {};
    if (::stat(name.c_str(), &old) == 0) {
        ::fchmod(fd.get(), old.st_mode & 07777);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd.get(), 0666 & ~mask);
    }

    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            fail(EWriteError(TranslateResourceString("Stream write error")));
        done += static_cast<size_t>(put);
    }
    if (::fsync(fd.get()) != 0)
        fail(EWriteError(TranslateResourceString("Stream write error")));
    if (::close(fd.release()) != 0)
        fail(EWriteError(TranslateResourceString("Stream write error")));
    if (::rename(tmp.c_str(), name.c_str()) != 0)
        fail(EFCreateError(Format1("Cannot create file %s", name)));
}
