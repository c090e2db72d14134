#include "privatecopy.h"

#include "fileio.h"
#include "filemessage.h"
#include "systemerror_win.h"

#include <algorithm>

#include <windows.h>

namespace {

[[noreturn]] void Fail(const std::string &name, DWORD error)
{
    EFCreateError failure(FileMessage("Cannot create file %s", name));
    failure.SetInformative(name + ": " + SystemErrorText(error));
    throw failure;
}

} // namespace

PrivateCopy::PrivateCopy(std::string_view bytes)
{
    char folder[MAX_PATH + 1] = {};
    if (GetTempPathA(sizeof folder, folder) == 0)
        Fail("%TEMP%", GetLastError());
    // Our handle shares reading only: while it is open no one can write,
    // rename or delete the file, and the library's read-only open succeeds.
    for (unsigned attempt = 0;; ++attempt) {
        path_ = std::string(folder) + "karvenzop-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(GetTickCount64() + attempt) + ".acy";
        const HANDLE file = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            handle_ = reinterpret_cast<long long>(file);
            break;
        }
        if (GetLastError() != ERROR_FILE_EXISTS || attempt > 100)
            Fail(path_, GetLastError());
    }
    const HANDLE file = reinterpret_cast<HANDLE>(handle_);
    size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>((std::min<size_t>)(bytes.size() - done, 1u << 30));
        DWORD put = 0;
        if (!WriteFile(file, bytes.data() + done, chunk, &put, nullptr) || put == 0) {
            const DWORD error = GetLastError();
            CloseHandle(file);
            DeleteFileA(path_.c_str());
            handle_ = -1;
            Fail(path_, error);
        }
        done += put;
    }
}

PrivateCopy::~PrivateCopy()
{
    if (handle_ == -1)
        return;
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    DeleteFileA(path_.c_str());
}
