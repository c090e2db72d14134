#include "updateservice.h"

#include "fileio.h"
#include "httpclient.h"
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

std::string UpdateService::Url(const char *resource) const
{
    // Read at every request: the server may be changed while the tool runs.
    return (server_.empty() ? UpdateServerBase() : UpdateServerUrl(server_)) + resource;
}

std::string UpdateService::ProgramVersion()
{
    client_.SetLimits(kVersionReplyLimits);
    return client_.Get(Url("/firmware.php?id=karvenzop"));
}

std::string UpdateService::FirmwareVersion()
{
    client_.SetLimits(kVersionReplyLimits);
    return client_.Get(Url("/firmware.php?id=karvenfir"));
}

std::string UpdateService::Fetch(const char *resource, const THttpRequestLimits &limits)
{
    TMemoryStream buffer;   // released on every path with the scope
    client_.SetLimits(limits);
    client_.Get(Url(resource), buffer);
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
