#pragma once

#include "spool.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace decoder {
struct DecoderLine;
}
namespace publish {
class StationPublisher;
}
class SubstitutionList;

namespace cli {

// monitor --publish: where and as whom the station publishes.
struct StationOptions {
    std::string url;
    std::string station;                          // empty: the host name
    std::string substitutions;                    // a "substi.txt" to take designations from
    std::string spool;                            // empty: in the state folder, per station
    std::map<std::string, std::string> broker;    // --credentials, --ca-file, --cert, --key
    publish::SpoolLimits limits;
};

// The monitor's station: hands every decoder line to the publisher (a
// telegram with its designation), keeps the device state from the
// decoder's replies, and says when the device goes and comes back.
class MonitorStation {
public:
    // Throws std::invalid_argument for options the user must correct and
    // std::runtime_error for files that cannot be used.
    MonitorStation(const StationOptions &options, const std::string &port);
    ~MonitorStation();
    MonitorStation(const MonitorStation &) = delete;
    MonitorStation &operator=(const MonitorStation &) = delete;

    // A line as read, and the monitor's JSON object for it (with or without
    // its newline).
    void Take(const decoder::DecoderLine &line, const std::string &jsonRecord);
    // Opened or reopened: the device's values are asked for again (the
    // caller writes DeviceQueries() to the port).
    void DeviceOpened();
    void DeviceLost();
    static const char *const DeviceQueries[3];

private:
    void PublishDeviceWhenComplete();

    std::string port_;
    std::unique_ptr<SubstitutionList> designations_;
    std::unique_ptr<publish::StationPublisher> publisher_;
    std::map<std::string, std::string> device_;   // member name -> value, since the last query
};

} // namespace cli
