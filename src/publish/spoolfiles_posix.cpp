#include "spoolfiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace publish {

namespace {

[[noreturn]] void Fail(const std::string &what, const std::string &path, int error)
{
    throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

void SyncFolder(const std::string &dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        Fail("cannot open the spool folder", dir, errno);
    const int rc = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (rc != 0)
        Fail("cannot sync the spool folder", dir, error);
}

} // namespace

JournalFile::JournalFile(const std::string &path, bool create) : path_(path)
{
    fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0600);
    if (fd_ < 0)
        Fail("cannot open the spool file", path, errno);
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        Fail("not a regular file:", path, EINVAL);
    }
    size_ = static_cast<uint64_t>(st.st_size);
    // A new file's name must survive a crash as well as its bytes.
    if (create && size_ == 0)
        SyncFolder(path.substr(0, path.rfind('/')));
}

JournalFile::~JournalFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

JournalFile::JournalFile(JournalFile &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), size_(other.size_)
{
}

JournalFile &JournalFile::operator=(JournalFile &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        size_ = other.size_;
    }
    return *this;
}

void JournalFile::Append(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            const int error = errno;
            // A partial record would read as a torn tail: take it back now.
            [[maybe_unused]] const int cut = ::ftruncate(fd_, static_cast<off_t>(size_));
            Fail("cannot write the spool file", path_, error);
        }
        done += static_cast<size_t>(put);
    }
    size_ += bytes.size();
}

std::string JournalFile::ReadAt(uint64_t offset, size_t length) const
{
    std::string bytes(length, '\0');
    size_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fd_, bytes.data() + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail("cannot read the spool file", path_, errno);
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

void JournalFile::Truncate(uint64_t size)
{
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
        Fail("cannot cut the spool file", path_, errno);
    size_ = size;
}

void JournalFile::Sync()
{
    if (::fdatasync(fd_) != 0)
        Fail("cannot sync the spool file", path_, errno);
}

std::vector<std::string> ListFolder(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        Fail("cannot read the spool folder", dir, errno);
    while (const dirent *entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(d);
    return names;
}

void CreateFolders(const std::string &dir)
{
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/')
            continue;
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            Fail("cannot create the spool folder", part, errno);
    }
}

std::string FolderProblem(const std::string &dir)
{
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0)
        return std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return "not a folder";
    if (st.st_uid != ::geteuid())
        return "owned by user " + std::to_string(st.st_uid) + ", not by this user (" + std::to_string(::geteuid()) + ")";
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("writable by ") + (st.st_mode & S_IWOTH ? "others" : "its group") + " (mode " + mode +
               "); chmod 700 it";
    }
    return {};
}

void RemoveFile(const std::string &path)
{
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        Fail("cannot remove the spool file", path, errno);
}

void RenameOver(const std::string &from, const std::string &to, const std::string &dir)
{
    if (::rename(from.c_str(), to.c_str()) != 0)
        Fail("cannot rename the spool file", from, errno);
    SyncFolder(dir);
}

FolderLock::FolderLock(const std::string &dir)
{
    const std::string path = dir + "/lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0)
        Fail("cannot open the spool lock", path, errno);
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd_);
        fd_ = -1;
        if (error == EWOULDBLOCK)
            throw std::runtime_error("the spool " + dir + " is in use by another monitor of this station");
        Fail("cannot lock the spool", path, error);
    }
}

FolderLock::~FolderLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace publish
