#include "brokeraddress.h"

#include "text8bit.h"

#include <stdexcept>

namespace publish {

namespace {

constexpr size_t MaxLevelBytes = 128;
constexpr size_t MaxPrefixBytes = 512;
constexpr size_t MaxHostBytes = 253;

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
