#pragma once

#include "brokerlink.h"
#include "stationtable.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// The centre's side: every station's topics under one prefix, on a thread
// of its own. Events arrive on that thread, in the broker's order.
namespace publish {

class CentreSubscriber {
public:
    struct Handlers {
        std::function<void(const StationEvent &)> event;
        std::function<void(const std::string &)> report;
        // The broker refused the login; the subscriber keeps trying.
        std::function<void(const std::string &)> refused;
        // The link to the broker came up (true) or went down (false).
        std::function<void(bool)> connection = nullptr;
    };

    // A payload larger than this is handed over without its bytes.
    static constexpr size_t MaxPayload = 64 * 1024;

    // With a session name the centre is one client to the broker across
    // runs (a fixed client id, a persistent session, QoS 1): the broker keeps
    // what arrives while it is away and delivers it when it is back.
    // Without one every run is a client of its own and sees only what
    // arrives while it is connected.
    CentreSubscriber(LinkSettings link, Handlers handlers, const std::string &session = {});
    ~CentreSubscriber();
    CentreSubscriber(const CentreSubscriber &) = delete;
    CentreSubscriber &operator=(const CentreSubscriber &) = delete;

private:
    void Run();

    LinkSettings settings_;
    Handlers handlers_;
    WakeSignal wake_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace publish
