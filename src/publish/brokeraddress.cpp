#include "brokeraddress.h"

#include "text8bit.h"

#include <cstdio>
#include <stdexcept>

namespace publish {

namespace {

constexpr size_t MaxLevelBytes = 128;
constexpr size_t MaxPrefixBytes = 512;
constexpr size_t MaxHostBytes = 253;

// Characters that change how text around them is shown, or hide: C1
// controls, bidirectional marks, embeddings and isolates, line and paragraph
// separators, and the other invisible format characters.
bool IsLayoutOrFormat(char32_t c)
{
    return (c >= 0x80 && c <= 0x9f) || c == 0xad || c == 0x61c || c == 0x180e || (c >= 0x200b && c <= 0x200f) ||
           (c >= 0x2028 && c <= 0x202e) || (c >= 0x2060 && c <= 0x206f) || c == 0xfeff || (c >= 0xfff9 && c <= 0xfffb) ||
           (c >= 0xe0000 && c <= 0xe007f);
}

// The code points of valid UTF-8.
std::u32string CodePoints(std::string_view utf8)
{
    std::u32string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const int extra = lead < 0x80 ? 0 : lead < 0xe0 ? 1 : lead < 0xf0 ? 2 : 3;
        char32_t c = extra == 0 ? lead : lead & (0x3f >> extra);
        for (int k = 1; k <= extra && i + k < utf8.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3f);
        out.push_back(c);
        i += 1 + extra;
    }
    return out;
}

// Why `level` cannot be one topic level, or empty.
std::string LevelProblem(std::string_view level)
{
    if (level.empty())
        return "an empty topic level";
    if (level.size() > MaxLevelBytes)
        return "a topic level longer than " + std::to_string(MaxLevelBytes) + " bytes";
    if (!IsValidUtf8(level))
        return "text that is not UTF-8";
    for (const char c : level) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '+' || c == '#')
            return std::string("the MQTT wildcard \"") + c + "\"";
        if (byte < 0x20 || byte == 0x7f)
            return "a control character";
    }
    for (const char32_t c : CodePoints(level))
        if (IsLayoutOrFormat(c))
            return "a control or format character (U+" + [c] {
                char hex[16];
                std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(c));
                return std::string(hex);
            }() + ")";
    if (level.front() == '$')
        return "a leading \"$\" (reserved for the broker)";
    return {};
}

[[noreturn]] void Refuse(std::string_view url, const std::string &why)
{
    throw std::invalid_argument("broker address '" + ShortenUtf8(TextToUtf8(url), 300) + "': " + why);
}

} // namespace

std::string StationNameProblem(std::string_view name)
{
    if (name.find('/') != std::string_view::npos)
        return "a \"/\"";
    return LevelProblem(name);
}

BrokerAddress ParseBrokerAddress(std::string_view url)
{
    BrokerAddress address;
    std::string_view rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
        address.port = 1883;
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        address.tls = true;
        address.port = 8883;
    } else {
        Refuse(url, "it must start with mqtt:// or mqtts://");
    }
    const size_t slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    if (authority.find('@') != std::string_view::npos)
        Refuse(url, "no user name or password in the address (others can read the command line); "
                    "use --credentials or KARVENZOP_MQTT_USERNAME and KARVENZOP_MQTT_PASSWORD");
    std::string_view host = authority;
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string_view::npos)
            Refuse(url, "an unclosed \"[\"");
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':')
                Refuse(url, "text after the IPv6 address");
            port = host.substr(close + 2);
        }
        host = host.substr(1, close - 1);
    } else if (const size_t colon = host.find(':'); colon != std::string_view::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
    }
    if (host.empty())
        Refuse(url, "no host");
    if (host.size() > MaxHostBytes)
        Refuse(url, "a host name longer than " + std::to_string(MaxHostBytes) + " bytes");
    for (const char c : host) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f || c == '/' || c == '?' || c == '#' || c == '+')
            Refuse(url, "the host name holds a character no host name has");
    }
    address.host = std::string(host);
    if (authority.size() > 0 && authority.back() == ':')
        Refuse(url, "an empty port");
    if (!port.empty()) {
        int value = 0;
        for (const char c : port) {
            if (c < '0' || c > '9' || value > 65535)
                Refuse(url, "the port is not a number from 1 to 65535");
            value = value * 10 + (c - '0');
        }
        if (value < 1 || value > 65535)
            Refuse(url, "the port is not a number from 1 to 65535");
        address.port = value;
    }
    if (slash == std::string_view::npos || slash + 1 >= rest.size())
        Refuse(url, "no topic prefix (mqtt://host/PREFIX)");
    const std::string_view prefix = rest.substr(slash + 1);
    if (prefix.size() > MaxPrefixBytes)
        Refuse(url, "a prefix longer than " + std::to_string(MaxPrefixBytes) + " bytes");
    size_t at = 0;
    for (;;) {
        const size_t end = prefix.find('/', at);
        const std::string why = LevelProblem(prefix.substr(at, end == std::string_view::npos ? end : end - at));
        if (!why.empty())
            Refuse(url, "the prefix holds " + why);
        if (end == std::string_view::npos)
            break;
        at = end + 1;
    }
    address.prefix = std::string(prefix);
    return address;
}

std::string StationTopic(const BrokerAddress &broker, std::string_view station, std::string_view leaf)
{
    return broker.prefix + "/" + std::string(station) + "/" + std::string(leaf);
}

} // namespace publish
