#include "spoolfiles.h"

#include "systemerror_win.h"

#include <stdexcept>
#include <utility>

#include <windows.h>

namespace publish {

namespace {

[[noreturn]] void Fail(const std::string &what, const std::string &path, DWORD error)
{
    throw std::runtime_error(what + " " + path + ": " + SystemErrorText(error));
}

HANDLE Handle(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }

// Open files can still be renamed over and deleted, as on POSIX.
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

JournalFile::JournalFile(const std::string &path, bool create) : path_(path)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, ShareAll, nullptr,
                                    create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        Fail("cannot open the spool file", path, GetLastError());
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        Fail("cannot open the spool file", path, error);
    }
    fd_ = static_cast<int>(reinterpret_cast<intptr_t>(file));
    size_ = static_cast<uint64_t>(size.QuadPart);
}

JournalFile::~JournalFile()
{
    if (fd_ >= 0)
        CloseHandle(Handle(fd_));
}

JournalFile::JournalFile(JournalFile &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), size_(other.size_)
{
}

JournalFile &JournalFile::operator=(JournalFile &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            CloseHandle(Handle(fd_));
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        size_ = other.size_;
    }
    return *this;
}

void JournalFile::Append(const std::string &bytes)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(size_);
    at.OffsetHigh = static_cast<DWORD>(size_ >> 32);
    DWORD put = 0;
    if (!WriteFile(Handle(fd_), bytes.data(), static_cast<DWORD>(bytes.size()), &put, &at) || put != bytes.size()) {
        const DWORD error = GetLastError();
        // A partial record would read as a torn tail: take it back now.
        Truncate(size_);
        Fail("cannot write the spool file", path_, error);
    }
    size_ += bytes.size();
}

std::string JournalFile::ReadAt(uint64_t offset, size_t length) const
{
    std::string bytes(length, '\0');
    size_t got = 0;
    while (got < length) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + got);
        at.OffsetHigh = static_cast<DWORD>((offset + got) >> 32);
        DWORD n = 0;
        if (!ReadFile(Handle(fd_), bytes.data() + got, static_cast<DWORD>(length - got), &n, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF)
                break;
            Fail("cannot read the spool file", path_, GetLastError());
        }
        if (n == 0)
            break;
        got += n;
    }
    bytes.resize(got);
    return bytes;
}

void JournalFile::Truncate(uint64_t size)
{
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFileInformationByHandle(Handle(fd_), FileEndOfFileInfo, &end, sizeof end))
        Fail("cannot cut the spool file", path_, GetLastError());
    size_ = size;
}

void JournalFile::Sync()
{
    if (!FlushFileBuffers(Handle(fd_)))
        Fail("cannot sync the spool file", path_, GetLastError());
}

std::vector<std::string> ListFolder(const std::string &dir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found{};
    const HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            return names;
        Fail("cannot read the spool folder", dir, GetLastError());
    }
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

void CreateFolders(const std::string &dir)
{
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/' && dir[at] != '\\')
            continue;
        const std::string part = dir.substr(0, at);
        // "C:" is no folder to make.
        if (part.size() == 2 && part[1] == ':')
            continue;
        if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            Fail("cannot create the spool folder", part, GetLastError());
    }
}

// Windows guards folders by ACLs, not by an owner and mode bits; the
// default spool lies in the user's own profile.
std::string FolderProblem(const std::string &)
{
    return {};
}

void RemoveFile(const std::string &path)
{
    if (!DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        Fail("cannot remove the spool file", path, GetLastError());
}

void RenameOver(const std::string &from, const std::string &to, const std::string &)
{
    if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        Fail("cannot rename the spool file", from, GetLastError());
}

FolderLock::FolderLock(const std::string &dir)
{
    const std::string path = dir + "\\lock";
    // Not shared: a second monitor of the station cannot open it.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_SHARING_VIOLATION)
            throw std::runtime_error("the spool " + dir + " is in use by another monitor of this station");
        Fail("cannot open the spool lock", path, GetLastError());
    }
    fd_ = static_cast<int>(reinterpret_cast<intptr_t>(file));
}

FolderLock::~FolderLock()
{
    if (fd_ >= 0)
        CloseHandle(Handle(fd_));
}

} // namespace publish
