#pragma once

#include <map>
#include <string>

namespace cli {

class EventWait;

struct BoardOptions {
    std::string url;
    std::map<std::string, std::string> broker;   // --credentials, --ca-file, --cert, --key
    std::string session = "board";
    std::string substitutions;
    std::string listen = "127.0.0.1:8470";
};

// The fleet's status board: subscribes to every station under the prefix
// and serves the page, its event stream, the state and the metrics over
// HTTP until a stop signal comes. Returns the exit code.
int RunBoard(const BoardOptions &options, EventWait &wait);

} // namespace cli
