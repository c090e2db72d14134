#include "updateservice.h"

#include "convert.h"
#include "fileio.h"
#include "httpclient.h"
#include "httperrors.h"
#include "minisign.h"
#include "resourcestring.h"
#include "streams.h"
#include "trustedkeys.h"
#include "updateserver.h"

#include <algorithm>
#include <filesystem>
#include <map>

namespace session {

namespace {

// A signature file is four short lines; more is not one.
constexpr HttpRequestLimits kSignatureLimits {4096, 20 * 1000};
constexpr const char *kToolTarget = "karvenzop";

std::string FileName(const char *resource) { return std::string(resource).substr(1); }

[[noreturn]] void Refuse(const char *pattern, std::initializer_list<std::string_view> args)
{
    throw EUpdateRefused(FormatMessageArgs(TranslateResourceString(pattern), args));
}

// "target:T version:V file:F" as words of key:value.
std::map<std::string, std::string> CommentFields(const std::string &comment)
{
    std::map<std::string, std::string> fields;
    size_t at = 0;
    while (at < comment.size()) {
        const size_t end = std::min(comment.find(' ', at), comment.size());
        const std::string word = comment.substr(at, end - at);
        const size_t colon = word.find(':');
        if (colon != std::string::npos)
            fields.emplace(word.substr(0, colon), word.substr(colon + 1));
        at = end + 1;
    }
    return fields;
}

// The signed comment must name exactly what is on offer.
void CheckComment(const SignedDownload &download, const char *resource, const std::string &target,
                  const std::string *version)
{
    if (!download.isSigned)
        return;
    const auto fields = CommentFields(download.trustedComment);
    auto field = [&](const char *key) {
        const auto found = fields.find(key);
        return found == fields.end() ? std::string() : found->second;
    };
    const std::string wanted = "target:" + target + " version:" + (version ? *version : field("version"))
        + " file:" + FileName(resource);
    if (field("target") != target || (version && field("version") != *version) || field("file") != FileName(resource)
        || field("version").empty())
        Refuse("%s is signed as \"%s\", not as \"%s\"", {FileName(resource), download.trustedComment, wanted});
}

// An image older than the decoder's firmware, as far as both versions can
// be read as numbers.
bool IsOlder(const std::string &image, const std::string &decoder)
{
    const auto imageVersion = ParseVersion(image);
    const auto decoderVersion = ParseVersion(decoder);
    return imageVersion && decoderVersion && *imageVersion < *decoderVersion;
}

} // namespace

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

std::string UpdateService::Fetch(const char *resource, const HttpRequestLimits &limits)
{
    MemoryStream buffer;   // released on every path with the scope
    client_.SetLimits(limits);
    Asking(Url(resource), [&](const std::string &url) { client_.Get(url, buffer); });
    return std::string(buffer.Memory(), static_cast<size_t>(buffer.Size()));
}

SignedDownload UpdateService::FetchSigned(const char *resource, const HttpRequestLimits &limits)
{
    const std::string name = FileName(resource);
    std::string signatureText;
    bool present = true;
    try {
        signatureText = Fetch((std::string(resource) + ".minisig").c_str(), kSignatureLimits);
    } catch (const EHttpProtocolError &error) {
        if (error.ErrorCode() != 404)
            throw;
        present = false;
    } catch (const EHttpBodyTooLarge &) {
        Refuse("The signature file of %s is larger than %d bytes", {name, std::to_string(kSignatureLimits.maxBodyBytes)});
    }

    SignedDownload download;
    download.bytes = Fetch(resource, limits);
    if (!present)
        return download;
    MinisignSignature signature;
    try {
        signature = ParseMinisignSignature(signatureText);
    } catch (const EMinisignFormat &) {
        Refuse("The signature file of %s is damaged", {name});
    }
    download.keyId = KeyIdText(signature.keyId);
    const std::vector<TrustedKey> keys = LoadTrustedKeys();
    const TrustedKey *key = FindTrustedKey(keys, signature.keyId);
    if (!key) {
        // No maker key ships: the user learns where to put the one they trust.
        EUpdateRefused refused(FormatMessageArgs(TranslateResourceString("%s is signed with an unknown key (%s)"),
                                                 {name, download.keyId}));
        refused.SetInformative(FormatMessageArgs(TranslateResourceString("Trusted keys (.pub files) go into the folder %s"),
                                                 {UserKeyFolder()}));
        throw refused;
    }
    if (!VerifyMinisign(signature, key->key, download.bytes))
        Refuse("The signature of %s does not match its content", {name});
    download.isSigned = true;
    download.trustedComment = signature.trustedComment;
    return download;
}

SignedDownload UpdateService::FetchTool()
{
    SignedDownload tool = FetchSigned(ToolResource, kToolDownloadLimits);
    CheckComment(tool, ToolResource, kToolTarget, nullptr);
    return tool;
}

void UpdateService::SaveTool(std::string_view bytes) { SaveFileBytes(ToolFile, bytes); }

FirmwareOffer UpdateService::FetchFirmwareOffer(const std::string &decoderVersion)
{
    FirmwareOffer offer;
    offer.download = FetchSigned(FirmwareResource, kFirmwareDownloadLimits);
    offer.image = ParseFirmwareContainer(offer.download.bytes);
    // Signed for this decoder type, and the container says the same.
    CheckComment(offer.download, FirmwareResource, FirmwareTarget, &offer.image.version);
    if (offer.download.isSigned && offer.image.target != FirmwareTarget)
        CheckComment(offer.download, FirmwareResource, offer.image.target, &offer.image.version);
    offer.decoderVersion = decoderVersion;
    offer.downgrade = IsOlder(offer.image.version, decoderVersion);
    return offer;
}

std::string UpdateService::SaveFirmware(std::string_view image, const std::string &folder)
{
    const std::string name = folder.empty() ? FirmwareFile : (std::filesystem::path(folder) / FirmwareFile).string();
    SaveFileBytes(name, image);
    // The file just saved, wherever the program itself lives.
    return AbsolutePath(name);
}

} // namespace session
