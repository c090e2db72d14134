#pragma once

#include <string>

namespace cli {

class EventWait;

struct FlashOptions {
    std::string port;
    std::string image;    // a local image instead of the server's
    std::string server;   // host[:port], empty: from the environment
    std::string saveDir;  // where a download is saved, empty: DownloadFolder()
    bool yes = false;             // answers the write question only
    bool allowUnsigned = false;   // an image without signature may be asked for
    bool allowDowngrade = false;  // an image older than the decoder's may be asked for
};

// The firmware update as the window runs it, with a progress bar on a
// terminal and plain progress lines otherwise. Returns the exit code.
int RunFlash(const FlashOptions &options, EventWait &wait);

} // namespace cli
