#include "updateservice.h"

#include "fileio.h"
#include "httpclient.h"
#include "httperrors.h"
#include "streams.h"
#include "updateserver.h"

#include <filesystem>

namespace session {

std::string AbsolutePath(const std::string &name)
{
    std::error_code error;
    const std::filesystem::path path = std::filesystem::absolute(name, error);
    return error ? name : path.string();
}

std::optional<std::vector<unsigned long>> ParseVersion(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return std::nullopt;
    text = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    std::vector<unsigned long> parts;
    for (;;) {
        const size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        parts.push_back(std::stoul(std::string(part)));
        if (dot == std::string_view::npos)
            break;
        text = text.substr(dot + 1);
    }
    while (parts.size() > 1 && parts.back() == 0)
        parts.pop_back();
    return parts;
}

std::string UpdateService::Url(const char *resource) const
{
    // Read at every request: the server may be changed while the tool runs.
    return UpdateServerBase(server_) + resource;
}

template <class Request>
auto UpdateService::Asking(const std::string &url, Request &&request)
{
    try {
        return request(url);
    } catch (EHttpException &e) {
        // The message stays the client's; the box names where it went.
        e.SetInformative("Server: " + url);
        throw;
    }
}

std::string UpdateService::ProgramVersion()
{
    client_.SetLimits(kVersionReplyLimits);
    return Asking(Url("/firmware.php?id=karvenzop"), [&](const std::string &url) { return client_.Get(url); });
}

std::string UpdateService::FirmwareVersion()
{
    client_.SetLimits(kVersionReplyLimits);
    return Asking(Url("/firmware.php?id=karvenfir"), [&](const std::string &url) { return client_.Get(url); });
}

std::string UpdateService::Fetch(const char *resource, const THttpRequestLimits &limits)
{
    TMemoryStream buffer;   // released on every path with the scope
    client_.SetLimits(limits);
    Asking(Url(resource), [&](const std::string &url) { client_.Get(url, buffer); });
    return std::string(buffer.Memory(), static_cast<size_t>(buffer.Size()));
}

void UpdateService::DownloadTool()
{
    SaveFileBytes(ToolFile, Fetch("/ZOP-Update.exe", kToolDownloadLimits));
}

std::string UpdateService::FetchFirmware()
{
    return Fetch("/karvenc469.acy", kFirmwareDownloadLimits);
}

std::string UpdateService::SaveFirmware(std::string_view image)
{
    SaveFileBytes(FirmwareFile, image);
    // The file just saved, wherever the program itself lives.
    return AbsolutePath(FirmwareFile);
}

std::string UpdateService::DownloadFirmware()
{
    return SaveFirmware(FetchFirmware());
}

} // namespace session
