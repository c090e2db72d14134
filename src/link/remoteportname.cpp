#include "remoteportname.h"

#include <cctype>

namespace {

const char kPlain[] = "rfc2217://";
const char kTls[] = "rfc2217+tls://";

bool StartsWithNoCase(const std::string &text, const char *prefix)
{
    size_t i = 0;
    for (; prefix[i]; ++i)
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    return true;
}

} // namespace

bool IsRemotePortName(const std::string &name) noexcept
{
    return StartsWithNoCase(name, kPlain) || StartsWithNoCase(name, kTls);
}

bool ParseRemotePortName(const std::string &name, RemotePortName &out)
{
    std::string rest;
    if (StartsWithNoCase(name, kPlain))
        rest = name.substr(sizeof kPlain - 1);
    else if (StartsWithNoCase(name, kTls))
        rest = name.substr(sizeof kTls - 1);
    else
        return false;
    const bool tls = !StartsWithNoCase(name, kPlain);
    // A trailing slash is what people type after an address.
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size() || rest.size() - colon > 6)
        return false;
    int port = 0;
    for (size_t i = colon + 1; i < rest.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(rest[i])))
            return false;
        port = port * 10 + (rest[i] - '0');
    }
    if (port < 1 || port > 65535)
        return false;
    const std::string host = rest.substr(0, colon);
    for (const char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            return false;
    out.host = host;
    out.port = port;
    out.tls = tls;
    return true;
}

std::vector<std::string> SplitPortList(const std::string &list)
{
    std::vector<std::string> entries;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find(':', start);
        if (IsRemotePortName(list.substr(start))) {
            // Past "scheme://host:" to the colon that ends the entry.
            const size_t hostColon = list.find(':', list.find("//", start) + 2);
            end = hostColon == std::string::npos ? std::string::npos : list.find(':', hostColon + 1);
        }
        if (end == std::string::npos)
            end = list.size();
        if (end > start)
            entries.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}
