#pragma once

#include "monitorstation.h"

#include <optional>
#include <string>

namespace cli {

class EventWait;

struct MonitorOptions {
    std::string port;
    bool json = false;
    long count = -1;          // lines to print, -1: no limit
    double duration = -1;     // seconds, -1: no limit
    std::optional<StationOptions> station;   // --publish
};

// Prints every decoder line as it arrives until the count or the duration
// is reached or a stop signal comes; waits out a vanished device. Returns
// the exit code.
int RunMonitor(const MonitorOptions &options, EventWait &wait);

} // namespace cli
