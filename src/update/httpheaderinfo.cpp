#include "httpheaderinfo.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace {

char Lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// Content-Length counts only when it is a plain decimal number that fits.
int64_t DecimalOrMinusOne(std::string_view text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    if (text.empty())
        return -1;
    int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return -1;
        if (value > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10)
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

bool SameTextIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

bool ContainsTextIgnoringCase(std::string_view text, std::string_view part)
{
    const auto it = std::search(text.begin(), text.end(), part.begin(), part.end(),
                                [](char x, char y) { return Lower(x) == Lower(y); });
    return part.empty() || it != text.end();
}

std::string THttpHeaderInfo::ExtraHeaderValue(std::string_view name) const
{
    for (const std::string &line : ExtraHeaders) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && SameTextIgnoringCase(std::string_view(line).substr(0, colon), name)) {
            size_t start = colon + 1;
            while (start < line.size() && (line[start] == ' ' || line[start] == '\t'))
                ++start;
            return line.substr(start);
        }
    }
    return {};
}

void THttpHeaderInfo::Clear()
{
    *this = THttpHeaderInfo();
}

void THttpHeaderInfo::AddHeader(std::string_view name, std::string_view value)
{
    struct Field {
        std::string_view name;
        std::string THttpHeaderInfo::*member;
    };
    static const Field fields[] = {
        {"Location", &THttpHeaderInfo::Location},
        {"Connection", &THttpHeaderInfo::Connection},
        {"Content-Type", &THttpHeaderInfo::ContentType},
        {"Content-Encoding", &THttpHeaderInfo::ContentEncoding},
        {"Content-Language", &THttpHeaderInfo::ContentLanguage},
        {"Content-Range", &THttpHeaderInfo::ContentRange},
        {"Content-Version", &THttpHeaderInfo::ContentVersion},
        {"Cache-Control", &THttpHeaderInfo::CacheControl},
        {"Date", &THttpHeaderInfo::Date},
        {"Expires", &THttpHeaderInfo::Expires},
        {"Last-Modified", &THttpHeaderInfo::LastModified},
        {"Pragma", &THttpHeaderInfo::Pragma},
        {"Server", &THttpHeaderInfo::Server},
        {"ETag", &THttpHeaderInfo::ETag},
        {"Accept-Ranges", &THttpHeaderInfo::AcceptRanges},
        {"Proxy-Connection", &THttpHeaderInfo::ProxyConnection},
    };
    if (SameTextIgnoringCase(name, "Content-Length")) {
        // The first decimal value wins; a later one cannot change a length
        // the body reading may already rely on.
        if (ContentLength < 0)
            ContentLength = DecimalOrMinusOne(value);
        return;
    }
    for (const Field &field : fields) {
        if (SameTextIgnoringCase(name, field.name)) {
            std::string &target = this->*field.member;
            if (target.empty())
                target = std::string(value);
            return;
        }
    }
    std::string line(name);
    line += ": ";
    line += value;
    ExtraHeaders.push_back(std::move(line));
}
