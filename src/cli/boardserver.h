#pragma once

#include <atomic>
#include <memory>
#include <string>

namespace httplib {
class Server;
}
namespace publish {
class FleetState;
}

// The board's read-only HTTP side over the fleet state: the page and its
// files, /events (Server-Sent Events), /api/state and /metrics.
namespace cli {

class BoardServer {
public:
    // At most this many event streams at once; more are turned away (503).
    static constexpr int MaxStreams = 32;

    explicit BoardServer(publish::FleetState &fleet);
    ~BoardServer();
    BoardServer(const BoardServer &) = delete;
    BoardServer &operator=(const BoardServer &) = delete;

    // Binds to `host`, `port` (0: any free port); the port bound, or -1.
    int Bind(const std::string &host, int port);
    // Serves until Stop(); on the caller's thread.
    void Serve();
    void Stop();

private:
    void Route();

    publish::FleetState &fleet_;
    std::unique_ptr<httplib::Server> server_;
    std::shared_ptr<std::atomic<int>> streams_;
};

} // namespace cli
