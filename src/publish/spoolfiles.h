#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The system's part of the spool, one file per system: an append-only file
// with a durable sync, a folder listing, and a lock that keeps a second
// monitor of the same station out of the folder. Failures throw
// std::runtime_error naming the path and the system's reason.
namespace publish {

class JournalFile {
public:
    JournalFile() = default;
    // Opens for reading and appending; creates the file when `create`.
    JournalFile(const std::string &path, bool create);
    ~JournalFile();
    JournalFile(JournalFile &&other) noexcept;
    JournalFile &operator=(JournalFile &&other) noexcept;

    bool IsOpen() const { return fd_ >= 0; }
    const std::string &Path() const { return path_; }
    uint64_t Size() const { return size_; }
    void Append(const std::string &bytes);
    // Up to `length` bytes at `offset`; fewer at the end of the file.
    std::string ReadAt(uint64_t offset, size_t length) const;
    // Cuts a torn tail left by a crash.
    void Truncate(uint64_t size);
    // Data on the disk before this returns.
    void Sync();

private:
    int fd_ = -1;
    std::string path_;
    uint64_t size_ = 0;
};

// Names in the folder (no "." or "..").
std::vector<std::string> ListFolder(const std::string &dir);
void CreateFolders(const std::string &dir);
// Why another user could put records into the folder or lock it (not
// owned by this user, writable by group or others), or empty.
std::string FolderProblem(const std::string &dir);
void RemoveFile(const std::string &path);
// Replaces `to` with `from` and makes the rename durable.
void RenameOver(const std::string &from, const std::string &to, const std::string &dir);

// An exclusive lock on dir/lock for the life of the object.
class FolderLock {
public:
    explicit FolderLock(const std::string &dir);
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

private:
    int fd_ = -1;
};

} // namespace publish
