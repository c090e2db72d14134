#include "updateserver.h"

#include "firmwarecontainer.h"
#include "httpheaderinfo.h"
#include "usersettings.h"

#include <cstdlib>

namespace {

bool Blank(const std::string &text)
{
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

} // namespace

std::string UpdateServerUrl(std::string server)
{
    const size_t first = server.find_first_not_of(" \t\r\n");
    const size_t last = server.find_last_not_of(" \t\r\n/");
    server = first == std::string::npos || last < first ? std::string() : server.substr(first, last - first + 1);
    if (server.empty())
        server = "localhost";
    // "https://" asks for TLS; a bare host[:port] stays plain HTTP.
    for (const char *scheme : {"https://", "http://"}) {
        const size_t length = std::char_traits<char>::length(scheme);
        if (server.size() > length && SameTextIgnoringCase(server.substr(0, length), scheme))
            return scheme + server.substr(length);
    }
    return "http://" + server;
}

std::string UpdateServerSetting(const std::string &given)
{
    if (!Blank(given))
        return given;
    if (const char *value = std::getenv("KARVENZOP_UPDATE_SERVER"); value && !Blank(value))
        return value;
    const std::string stored = UserSetting("UpdateServer");
    return Blank(stored) ? "localhost" : stored;
}

std::string UpdateServerBase(const std::string &given)
{
    return UpdateServerUrl(UpdateServerSetting(given));
}

// A version text is a line or two; the tool's program file is a few MB; the
// firmware file is at most one container (FIRMWARE.md). A version check
// must not hold the window for long; a download may take minutes on a slow
// line.
const HttpRequestLimits kVersionReplyLimits {4 * 1024, 20 * 1000};
const HttpRequestLimits kToolDownloadLimits {32 * 1024 * 1024, 10 * 60 * 1000};
const HttpRequestLimits kFirmwareDownloadLimits {kFirmwareFileLimit, 10 * 60 * 1000};
