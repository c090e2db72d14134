#pragma once

#include <map>
#include <string>

namespace cli {

class EventWait;

struct WatchOptions {
    std::string url;
    std::map<std::string, std::string> broker;   // --credentials, --ca-file, --cert, --key
    bool json = false;
    long count = -1;          // messages to print, -1: no limit
    double duration = -1;     // seconds, -1: no limit
    std::string session;      // empty: a clean session of its own
};

// Prints every station's messages under the prefix as they arrive, with a
// line for every gap in a station's numbering and without repeats, until
// the count or duration is reached or a stop signal comes. Returns the exit code.
int RunWatch(const WatchOptions &options, EventWait &wait);

} // namespace cli
