#pragma once

#include <string>
#include <string_view>

// Where a station publishes and a centre subscribes: "mqtt://host[:port]/PREFIX"
// or "mqtts://..." (TLS). Names that become topic levels (the prefix, a
// station) hold no MQTT wildcards and no control characters, so a station
// can never publish into another's topics or subscribe to more than its own.
namespace publish {

struct BrokerAddress {
    bool tls = false;
    std::string host;
    int port = 0;
    std::string prefix;   // one or more topic levels, no leading or trailing "/"
};

// Throws std::invalid_argument with a message naming what is wrong.
BrokerAddress ParseBrokerAddress(std::string_view url);

// Empty when `name` may be a station name (one topic level); else why not.
std::string StationNameProblem(std::string_view name);

// PREFIX/STATION/leaf.
std::string StationTopic(const BrokerAddress &broker, std::string_view station, std::string_view leaf);

} // namespace publish
