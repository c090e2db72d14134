#include "httpurl.h"

#include <algorithm>

HttpUrl SplitUrl(std::string_view url)
{
    std::string text(url);
    std::replace(text.begin(), text.end(), '\\', '/');

    HttpUrl parts;
    std::string rest = text;
    const size_t schemeEnd = text.find("://");
    if (schemeEnd != std::string::npos) {
        parts.Protocol = text.substr(0, schemeEnd);
        const std::string afterScheme = text.substr(schemeEnd + 3);
        const size_t slash = afterScheme.find('/');
        std::string hostPort = afterScheme.substr(0, slash);
        rest = slash == std::string::npos ? std::string() : afterScheme.substr(slash);
        const size_t colon = hostPort.find(':');
        if (colon != std::string::npos) {
            parts.Port = hostPort.substr(colon + 1);
            hostPort.erase(colon);
        }
        parts.Host = std::move(hostPort);
    }

    const size_t lastSlash = rest.rfind('/');
    if (lastSlash == std::string::npos) {
        parts.Document = rest;
    } else {
        parts.Path = rest.substr(0, lastSlash + 1);
        parts.Document = rest.substr(lastSlash + 1);
    }
    if (parts.Path.empty() || parts.Path.front() != '/')
        parts.Path.insert(parts.Path.begin(), '/');
    const size_t hash = parts.Document.find('#');
    if (hash != std::string::npos)
        parts.Document.erase(hash);
    return parts;
}
