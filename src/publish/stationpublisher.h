#pragma once

#include "brokerlink.h"
#include "spool.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// A station's publishing to the broker, on a thread of its own so the serial
// line is never held up by the network or the disk:
//   PREFIX/STATION/telegram  each telegram, QoS 1, with "station", "epoch" and "seq"
//   PREFIX/STATION/line      the decoder's other lines, likewise
//   PREFIX/STATION/status    retained "online", "device-lost", "offline" (last will)
//   PREFIX/STATION/device    retained device state
// Telegrams and lines go through the spool and leave it in order once the
// broker has them; "seq" counts them per station across restarts, within
// the spool's "epoch".
namespace publish {

struct StationSettings {
    LinkSettings link;        // broker, credentials, TLS; client id and will are set here
    std::string station;
    std::string spoolDir;
    SpoolLimits limits;
};

class StationPublisher {
public:
    using Report = std::function<void(const std::string &)>;

    // Opens the spool (throws std::runtime_error when it cannot be used) and
    // starts connecting.
    StationPublisher(StationSettings settings, Report report);
    // Sends what it can within a moment, says "offline" and leaves; the
    // rest waits in the spool for the next start.
    ~StationPublisher();
    StationPublisher(const StationPublisher &) = delete;
    StationPublisher &operator=(const StationPublisher &) = delete;

    // A JSON object ("{...}") of the monitor's; "station", "epoch" and "seq"
    // are put in front.
    void Telegram(const std::string &object);
    void Line(const std::string &object);
    // The device's state (a JSON object), retained.
    void Device(const std::string &object);
    // The adapter has gone (status "device-lost") or is back ("online").
    void SetDeviceLost(bool lost);

    // Waits up to `timeout` until everything handed over has been delivered.
    bool Flush(std::chrono::milliseconds timeout);

private:
    struct Handover {
        Channel channel;
        std::string object;
    };
    struct InFlight {
        uint64_t seq;             // 0 for the dropped notice
        BrokerLink::Clock::time_point sent;
    };

    void Run();
    void TakeHandovers();
    void PublishState();
    void FillWindow();
    std::string Topic(const char *leaf) const;
    void Hand(Channel channel, const std::string &object);

    StationSettings settings_;
    Report report_;
    Spool spool_;
    const std::string epochMember_;   // ,"epoch":"..." for every message
    WakeSignal wake_;
    BrokerLink link_;

    std::mutex mutex_;
    std::condition_variable flushed_;
    std::deque<Handover> handovers_;
    uint64_t handoverDropped_ = 0;
    std::string device_;
    bool deviceLost_ = false;
    bool statusChanged_ = false;
    bool deviceChanged_ = false;
    bool stopping_ = false;
    bool idle_ = false;       // nothing handed over is undelivered

    // The thread's own.
    std::map<int, InFlight> inFlight_;
    DroppedRun announcing_;
    int announcingMid_ = -1;
    bool stateSent_ = false;
    bool spoolFailing_ = false;   // said on stderr, until a message is written again
    std::thread thread_;
};

} // namespace publish
