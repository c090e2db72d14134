// Windows file helpers: shared-read opens and a write-through safe save
// that swaps the finished file in with ReplaceFile / MoveFileEx.
#include "fileio.h"

#include "filemessage.h"
#include "messagetranslation.h"
#include "systemerror_win.h"

#include <algorithm>
#include <filesystem>
#include <string>

#include <io.h>
#include <windows.h>

namespace {

// The system's reason goes under the message, with the folder the file is
// in: "C:\\Users\\op\\AppData\\Roaming\\KarvenZop\\substi.txt: <the system's text>".
template <class E>
[[noreturn]] void Throw(E failure, const std::string &name, DWORD code)
{
    std::error_code error;
    const std::filesystem::path path = std::filesystem::absolute(name, error);
    failure.SetInformative((error ? name : path.string()) + ": " + SystemErrorText(code));
    throw failure;
}

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { Close(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
    bool Close()
    {
        if (!valid())
            return true;
        const bool ok = CloseHandle(h_) != 0;
        h_ = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE h_;
};

std::string FolderOf(const std::string &name)
{
    const auto slash = name.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : name.substr(0, slash + 1);
}

} // namespace

std::string LoadFileBytes(const std::string &name, uint64_t limit)
{
    // Shared for reading only: a writer holding the file refuses us, and we
    // refuse a writer while we read. Only a bounded disk file is read: a
    // device name (CON, COM1) is not a file.
    Handle file(CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    auto fail = [&](DWORD code) { Throw(EFOpenError(FileMessage("Cannot open file %s", name)), name, code); };
    if (!file.valid())
        fail(GetLastError());
    LARGE_INTEGER size{};
    if (GetFileType(file.get()) != FILE_TYPE_DISK)
        fail(ERROR_BAD_FILE_TYPE);
    if (!GetFileSizeEx(file.get(), &size))
        fail(GetLastError());
    if (static_cast<uint64_t>(size.QuadPart) > limit)
        fail(ERROR_FILE_TOO_LARGE);

    std::string bytes;
    bytes.reserve(static_cast<size_t>(size.QuadPart));
    char piece[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), piece, sizeof piece, &got, nullptr))
            fail(GetLastError());
        if (got == 0)
            break;
        bytes.append(piece, got);
        // A file that grows while it is read is refused too.
        if (bytes.size() > limit)
            fail(ERROR_FILE_TOO_LARGE);
    }
    return bytes;
}

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const auto piece = static_cast<unsigned>(std::min<size_t>(bytes.size(), 1u << 30));
        const int done = ::_write(fd, bytes.data(), piece);
        if (done <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(done));
    }
    return true;
}

void SaveFileBytes(const std::string &name, std::string_view bytes)
{
    // Wine's ReplaceFile fails on relative names ("substi.txt" in the working
    // folder) where Windows' takes them: both get the full path.
    char full[MAX_PATH + 1];
    const DWORD length = GetFullPathNameA(name.c_str(), sizeof full, full, nullptr);
    const std::string target = length > 0 && length < sizeof full ? std::string(full, length) : name;
    // The temporary file lives beside the target so the swap stays on one volume.
    char tmp[MAX_PATH + 1];
    if (GetTempFileNameA(FolderOf(target).c_str(), "kz", 0, tmp) == 0)
        Throw(EFCreateError(FileMessage("Cannot create file %s", name)), name, GetLastError());
    auto fail = [&](auto error) {
        const DWORD code = GetLastError();
        DeleteFileA(tmp);
        Throw(error, name, code);
    };

    Handle file(CreateFileA(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!file.valid())
        fail(EFCreateError(FileMessage("Cannot create file %s", name)));
    size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD put = 0;
        if (!WriteFile(file.get(), bytes.data() + done, chunk, &put, nullptr) || put == 0)
            fail(EWriteError(TranslateMessage("Stream write error")));
        done += put;
    }
    if (!FlushFileBuffers(file.get()))
        fail(EWriteError(TranslateMessage("Stream write error")));
    if (!file.Close())
        fail(EWriteError(TranslateMessage("Stream write error")));

    // ReplaceFile keeps the old file's attributes and security; a target
    // that does not exist yet is simply moved into place.
    if (ReplaceFileA(target.c_str(), tmp, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
        return;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
        fail(EFCreateError(FileMessage("Cannot create file %s", name)));
    if (!MoveFileExA(tmp, target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        fail(EFCreateError(FileMessage("Cannot create file %s", name)));
}
