#include "windowplatform.h"

#include "exception.h"
#include "systemerror_win.h"

#include <cstdio>

#include <windows.h>
#include <shellapi.h>

const char *const StoredPortName = "COM4";
const char *const StoredPortBoxText = "COM1";
const char *const SavedLineEnd = "\r\n";

void UseStartingConsole()
{
    const auto redirected = [](DWORD which) {
        const HANDLE handle = GetStdHandle(which);
        return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
    };
    const bool out = redirected(STD_OUTPUT_HANDLE);
    const bool err = redirected(STD_ERROR_HANDLE);
    if ((out && err) || !AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (!out)
        std::freopen("CONOUT$", "w", stdout);
    if (!err)
        std::freopen("CONOUT$", "w", stderr);
}

ProgramCopy ProgramCopyKind(const std::filesystem::path &programFolder)
{
    std::error_code error;
    return std::filesystem::is_regular_file(programFolder / L"Deinstallieren.exe", error) ? ProgramCopy::Installed
                                                                                          : ProgramCopy::Unpacked;
}

bool StartInstaller(const std::filesystem::path &installer, const std::string &arguments, std::string &reason)
{
    const std::wstring file = installer.wstring();
    const std::wstring folder = installer.parent_path().wstring();
    const std::wstring parameters(arguments.begin(), arguments.end());
    SHELLEXECUTEINFOW start{};
    start.cbSize = sizeof start;
    start.fMask = SEE_MASK_NOASYNC;
    start.lpVerb = L"open";
    start.lpFile = file.c_str();
    start.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    start.lpDirectory = folder.c_str();
    start.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&start))
        return true;
    reason = SystemErrorText(GetLastError());
    return false;
}

std::filesystem::path MenuStartDataFolder()
{
    // The user's roaming application data: the program folder below
    // "Program Files" is not writable for the user.
    const wchar_t *appData = _wgetenv(L"APPDATA");
    if (!appData || !*appData)
        throw Exception("Cannot find the data folder: APPDATA is not set");
    return std::filesystem::path(appData) / L"KarvenZop";
}
