#include "windowplatform.h"

#include "exception.h"

#include <cstdio>

#include <windows.h>

const char *const StoredPortName = "COM4";
const char *const StoredPortBoxText = "COM1";
const char *const ToolUpdateNote = "";

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

std::filesystem::path MenuStartDataFolder()
{
    // The user's roaming application data: the program folder below
    // "Program Files" is not writable for the user.
    const wchar_t *appData = _wgetenv(L"APPDATA");
    if (!appData || !*appData)
        throw Exception("Cannot find the data folder: APPDATA is not set");
    return std::filesystem::path(appData) / L"KarvenZop";
}
