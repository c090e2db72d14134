#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

    // host[:port] (or a URL base) to ask instead of the configured server.
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
    template <class Request>
    auto Asking(const std::string &url, Request &&request);
    std::string Fetch(const char *resource, const THttpRequestLimits &limits);

    THttpClient &client_;
    std::string server_;
};

// A version text as numbers ("4.70" is 4, 70; trailing zero parts dropped,
// so "1.0" equals "1.0.0"), blanks and line breaks around it allowed;
// nothing when the text is not digits separated by dots.
std::optional<std::vector<unsigned long>> ParseVersion(std::string_view text);

// The name resolved against the working directory (unchanged if that cannot be read).
std::string AbsolutePath(const std::string &name);

} // namespace session
