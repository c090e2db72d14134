#include "updateserver.h"

#include "firmwarecontainer.h"

#include <cstdlib>

std::string UpdateServerBase()
{
    std::string server;
    if (const char *value = std::getenv("KARVENZOP_UPDATE_SERVER"))
        server = value;
    const size_t first = server.find_first_not_of(" \t\r\n");
    const size_t last = server.find_last_not_of(" \t\r\n/");
    server = first == std::string::npos || last < first ? std::string() : server.substr(first, last - first + 1);
    if (server.empty())
        server = "localhost";
    return "http://" + server;
}

// A version text is a line or two; the tool's program file is a few MB; the
// firmware file is at most one container (FIRMWARE.md). A version check
// must not hold the window for long; a download may take minutes on a slow
// line.
const THttpRequestLimits kVersionReplyLimits {4 * 1024, 20 * 1000};
const THttpRequestLimits kToolDownloadLimits {32 * 1024 * 1024, 10 * 60 * 1000};
const THttpRequestLimits kFirmwareDownloadLimits {kFirmwareFileLimit, 10 * 60 * 1000};
