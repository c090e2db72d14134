#include "updateserver.h"

#include "firmwarecontainer.h"
#include "usersettings.h"

#include <cstdlib>

namespace {

std::string Trimmed(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    const size_t last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

bool NamesScheme(const std::string &value)
{
    const size_t colon = value.find("://");
    return colon != std::string::npos && colon > 0 &&
           value.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") >= colon;
}

} // namespace

std::string UpdateServerSetting(const std::string &given)
{
    if (!Trimmed(given).empty())
        return given;
    if (const char *value = std::getenv("KARVENZOP_UPDATE_SERVER"); value && !Trimmed(value).empty())
        return value;
    const std::string stored = UserSetting("UpdateServer");
    return Trimmed(stored).empty() ? "localhost" : stored;
}

std::string UpdateServerBaseFor(std::string value)
{
    value = Trimmed(value);
    while (!value.empty() && value.back() == '/')
        value.pop_back();
    if (value.empty())
        value = "localhost";
    return NamesScheme(value) ? value : "http://" + value;
}

std::string UpdateServerBase(const std::string &given)
{
    return UpdateServerBaseFor(UpdateServerSetting(given));
}

// A version text is a line or two; the tool's program file is a few MB; the
// firmware file is at most one container (FIRMWARE.md). A version check
// must not hold the window for long; a download may take minutes on a slow
// line.
const THttpRequestLimits kVersionReplyLimits {4 * 1024, 20 * 1000};
const THttpRequestLimits kToolDownloadLimits {32 * 1024 * 1024, 10 * 60 * 1000};
const THttpRequestLimits kFirmwareDownloadLimits {kFirmwareFileLimit, 10 * 60 * 1000};
