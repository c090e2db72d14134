#pragma once

#include "brokerlink.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// The centre's side: every station's topics under one prefix, on a thread
// of its own. Events arrive on that thread, in the broker's order.
namespace publish {

struct StationEvent {
    std::string station;
    std::string leaf;       // "telegram", "line", "status" or "device"
    std::string payload;
    bool retained = false;
};

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

    CentreSubscriber(LinkSettings link, Handlers handlers);
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
