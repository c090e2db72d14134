#include "usersettings.h"

#include <windows.h>

#include <string>

std::string SystemUserSetting(const std::string &key)
{
    // The toolkit's native settings on Windows: a string value under the
    // organisation's and the application's key.
    const std::wstring name(key.begin(), key.end());
    wchar_t value[2048];
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\KarvenZop\\KarvenZop", name.c_str(), RRF_RT_REG_SZ, nullptr,
                     value, &size) != ERROR_SUCCESS)
        return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, value, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return {};
    std::string out(static_cast<size_t>(length - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, value, -1, out.data(), length, nullptr, nullptr);
    return out;
}
