#pragma once

#include "exception.h"
#include "firmwarecontainer.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class THttpClient;
struct HttpRequestLimits;

namespace session {

// A download refused for its signature (bad, unknown key, another file's,
// damaged) or for the user's policy (unsigned, older). Nothing is written
// or saved; the message names the reason.
class EUpdateRefused : public Exception { using Exception::Exception; };

// A resource and what its detached signature ("<resource>.minisig") says.
struct SignedDownload {
    std::string bytes;
    bool isSigned = false;       // false: the server has no signature (404)
    std::string keyId;           // the signer's key id, as minisign prints it
    std::string trustedComment;  // "target:... version:... file:..."
};

// The firmware image on offer, checked, before anything is written.
struct FirmwareOffer {
    SignedDownload download;
    FirmwareImage image;
    std::string decoderVersion;  // empty: not known
    bool downgrade = false;      // older than the decoder's version
};

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

    static constexpr const char *ToolResource = "/ZOP-Update.exe";
    static constexpr const char *FirmwareResource = "/karvenc469.acy";
    // The decoder type that resource is for.
    static constexpr const char *FirmwareTarget = "KARVEN-C469";

    // The new tool, its signature checked (target "karvenzop", its file
    // name); raises EUpdateRefused for a signature that does not hold.
    SignedDownload FetchTool();
    // Saves it as ToolFile.
    void SaveTool(std::string_view bytes);
    // The firmware image, its signature checked against the container
    // (target, version, file name), compared with the decoder's version.
    FirmwareOffer FetchFirmwareOffer(const std::string &decoderVersion);
    // Saves the image as FirmwareFile in `folder` (empty: the working
    // directory) and returns the absolute path of exactly that file.
    std::string SaveFirmware(std::string_view image, const std::string &folder = {});

private:
    std::string Url(const char *resource) const;
    template <class Request>
    auto Asking(const std::string &url, Request &&request);
    std::string Fetch(const char *resource, const HttpRequestLimits &limits);
    // The signature first, so the progress display ends with the resource.
    SignedDownload FetchSigned(const char *resource, const HttpRequestLimits &limits);

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
