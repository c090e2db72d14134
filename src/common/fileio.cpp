#include "fileio.h"

#include "filemessage.h"
#include "regularfile.h"
#include "messagetranslation.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

// The system's reason goes under the message, with the folder the file is
// in: "/home/op/.local/share/karvenzop/substi.txt: No space left on device".
template <class E>
[[noreturn]] void Throw(E failure, const std::string &name, const std::string &reason)
{
    std::error_code error;
    const std::filesystem::path path = std::filesystem::absolute(name, error);
    failure.SetInformative((error ? name : path.string()) + ": " + reason);
    throw failure;
}
[[noreturn]] void ThrowCreate(const std::string &name, int error = errno)
{
    Throw(EFCreateError(FileMessage("Cannot create file %s", name)), name, std::strerror(error));
}
[[noreturn]] void ThrowWrite(const std::string &name, int error = errno)
{
    Throw(EWriteError(TranslateMessage("Stream write error")), name, std::strerror(error));
}

std::string DirectoryOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// In a sticky folder others may write in (/tmp), what another user put
// there is theirs: the kernel follows a link there, or opens a file there
// for creating, only when its owner is the user or the folder's owner
// (fs.protected_symlinks, fs.protected_regular). Saving resolves links and
// writes through hard links itself, so it keeps the same rule.
void RequirePlacedByUserOrFolderOwner(const std::string &name, const std::string &path, const struct stat &st)
{
    struct stat folder {};
    if (::stat(DirectoryOf(path).c_str(), &folder) != 0 || !(folder.st_mode & S_ISVTX) ||
        !(folder.st_mode & (S_IWOTH | S_IWGRP)))
        return;
    if (st.st_uid == ::geteuid() || st.st_uid == folder.st_uid)
        return;
    EFCreateError failure(FileMessage("Cannot create file %s", name));
    failure.SetInformative(path + ": " + (S_ISLNK(st.st_mode) ? "a link" : "a file") + " of user " +
                           std::to_string(st.st_uid) + " in the shared folder " + DirectoryOf(path) +
                           " (only its owner's own files are used there)");
    throw failure;
}

// The file a name stands for after following symlinks, so that saving
// replaces the shared file a link points to and keeps the link. A name that
// does not exist (or a dangling link's target) is returned as it is.
std::string FollowLinks(const std::string &name)
{
    std::string path = name;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            return path;
        RequirePlacedByUserOrFolderOwner(name, path, st);
        if (!S_ISLNK(st.st_mode))
            return path;
        std::string target(4096, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size())
            return path;
        target.resize(static_cast<size_t>(length));
        if (target.front() != '/' && path.find('/') != std::string::npos)
            target = DirectoryOf(path) + "/" + target;
        path = std::move(target);
    }
    return path;
}

// Only the file may be writable (its folder read-only), or the file has
// further hard links that must keep seeing it: then it is rewritten where
// it is, which is not atomic but is what the user can do by hand.
void SaveInPlace(const std::string &name, const std::string &path, std::string_view bytes)
{
    Fd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
        ThrowCreate(name);
    if (!S_ISREG(st.st_mode))
        ThrowCreate(name, EINVAL);
    // The file opened may not be the one checked before: check it again.
    RequirePlacedByUserOrFolderOwner(name, path, st);
    if (!WriteAll(fd.get(), bytes) || ::ftruncate(fd.get(), static_cast<off_t>(bytes.size())) != 0 ||
        ::fsync(fd.get()) != 0 || ::close(fd.release()) != 0)
        ThrowWrite(name);
}

// The bytes are written into a file without a name (O_TMPFILE), so a kill
// during the write leaves nothing behind. Only once complete is it given a
// fixed name beside the target and renamed over it; a kill in that short
// step leaves the fixed name, which the next save removes before anything
// else. linkat cannot replace a name, hence the two steps. Filesystems
// without O_TMPFILE write under the fixed name directly.
class PendingFile {
public:
    explicit PendingFile(const std::string &target) : path_(target + ".save-tmp"), fd_(-1)
    {
        const std::string directory = DirectoryOf(target);
        fd_ = Fd(::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600)).release();
        if (fd_ >= 0) {
            unnamed_ = true;
            ::unlink(path_.c_str());
            return;
        }
        if (errno == EACCES || errno == EPERM || errno == EROFS)
            return;
        ::unlink(path_.c_str());
        fd_ = ::open(path_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
        named_ = fd_ >= 0;
    }
    ~PendingFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (named_)
            ::unlink(path_.c_str());
    }
    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;

    int Descriptor() const { return fd_; }

    // Closes the file and moves it over `target`.
    bool Replace(const std::string &target)
    {
        if (::close(std::exchange(fd_, -1)) != 0)
            return false;
        if (::rename(path_.c_str(), target.c_str()) != 0)
            return false;
        named_ = false;
        // The rename itself must reach the disk too.
        const int folder = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
        return true;
    }

    // Gives the unnamed file its fixed name.
    bool Name()
    {
        if (!unnamed_)
            return true;
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path_.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
            ::linkat(fd_, "", AT_FDCWD, path_.c_str(), AT_EMPTY_PATH) != 0)
            return false;
        named_ = true;
        return true;
    }

private:
    std::string path_;
    int fd_;
    bool unnamed_ = false;
    bool named_ = false;
};

} // namespace

bool WriteAll(int fd, std::string_view bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

std::string LoadFileBytes(const std::string &name, uint64_t limit)
{
    auto fail = [&] { Throw(EFOpenError(FileMessage("Cannot open file %s", name)), name, std::strerror(errno)); };
    Fd fd(OpenRegularFile(name, limit));
    if (fd.get() < 0)
        fail();
    // Shared lock: readers may read alongside us, a writer's exclusive lock refuses us.
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0)
        fail();
    std::string bytes;
    if (!ReadRegularFile(fd.get(), limit, bytes))
        fail();
    return bytes;
}

void SaveFileBytes(const std::string &name, std::string_view bytes)
{
    const std::string path = FollowLinks(name);
    struct stat old {};
    const bool exists = ::stat(path.c_str(), &old) == 0;
    // Saving replaces a file's content, never what the file is: a FIFO or a
    // device stays one, and a file the user may not write stays unwritten.
    if (exists && !S_ISREG(old.st_mode))
        ThrowCreate(name, EINVAL);
    if (exists && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
        ThrowCreate(name);
    if (exists && old.st_nlink > 1) {
        SaveInPlace(name, path, bytes);
        return;
    }

    PendingFile pending(path);
    if (pending.Descriptor() < 0) {
        if (exists && (errno == EACCES || errno == EPERM))
            SaveInPlace(name, path, bytes);
        else
            ThrowCreate(name);
        return;
    }
    const int fd = pending.Descriptor();
    // Keep the permissions and owner of an existing file; a new one gets the
    // usual 0666 & ~umask.
    if (exists) {
        ::fchmod(fd, old.st_mode & 07777);
        if (::fchown(fd, old.st_uid, old.st_gid) != 0)
            ::fchmod(fd, old.st_mode & 0777);  // set-id bits do not belong to another owner
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
    if (!WriteAll(fd, bytes) || ::fsync(fd) != 0)
        ThrowWrite(name);
    if (!pending.Name() || !pending.Replace(path))
        ThrowCreate(name);
}
