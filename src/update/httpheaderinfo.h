#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The response header fields. Fields the client knows are taken out of the
// header block; every other line is kept in ExtraHeaders as "Name: value".
class THttpHeaderInfo {
public:
    std::string Location;
    std::string Connection;
    int64_t ContentLength = -1;  // -1: no decimal Content-Length was sent
    std::string ContentType;
    std::string ContentEncoding;
    std::string ContentLanguage;
    std::string ContentRange;
    std::string ContentVersion;
    std::string CacheControl;
    std::string Date;
    std::string Expires;
    std::string LastModified;
    std::string Pragma;
    std::string Server;
    std::string ETag;
    std::string AcceptRanges;
    std::string ProxyConnection;
    std::vector<std::string> ExtraHeaders;

    bool HasContentLength() const { return ContentLength >= 0; }
    // The value of the first extra header of that name (any letter case).
    std::string ExtraHeaderValue(std::string_view name) const;

    void Clear();
    // Files one complete header (continuations already joined).
    void AddHeader(std::string_view name, std::string_view value);
};

bool SameTextIgnoringCase(std::string_view a, std::string_view b);
bool ContainsTextIgnoringCase(std::string_view text, std::string_view part);
