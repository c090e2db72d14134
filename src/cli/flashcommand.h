#pragma once

#include <string>

namespace cli {

class EventWait;

struct FlashOptions {
    std::string port;
    std::string image;    // a local image instead of the server's
    std::string server;   // host[:port], empty: from the environment
    bool yes = false;
};

// The firmware update as the window runs it, with a progress bar on a
// terminal and plain progress lines otherwise. Returns the exit code.
int RunFlash(const FlashOptions &options, EventWait &wait);

} // namespace cli
