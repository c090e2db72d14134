#pragma once

#include <string>
#include <string_view>

class THttpClient;
struct THttpRequestLimits;

namespace session {

// The update server's resources: the two version queries and the two
// downloads, fetched with the caller's client (whose work events drive its
// progress display) and saved in the working directory.
class UpdateService {
public:
    static constexpr const char *ToolFile = "ZOP-Update.exe";
    static constexpr const char *FirmwareFile = "firmware.acy";

    explicit UpdateService(THttpClient &client) : client_(client) {}

    // host[:port] to ask instead of the server named by the environment.
    void SetServer(std::string server) { server_ = std::move(server); }

    // The reply bodies as 8-bit text, unchanged.
    std::string ProgramVersion();
    std::string FirmwareVersion();

    // Saves the new tool as ToolFile; nothing is written when the transfer fails.
    void DownloadTool();
    // Saves the firmware image as FirmwareFile and returns the absolute path
    // of exactly that file, for the bootloader library.
    std::string DownloadFirmware();
    // The same in two steps, so a caller can look at the image (and ask)
    // before anything is written.
    std::string FetchFirmware();
    std::string SaveFirmware(std::string_view image);

private:
    std::string Url(const char *resource) const;
    std::string Fetch(const char *resource, const THttpRequestLimits &limits);

    THttpClient &client_;
    std::string server_;
};

// The name resolved against the working directory (unchanged if that cannot be read).
std::string AbsolutePath(const std::string &name);

} // namespace session
