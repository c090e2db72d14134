#pragma once

#include "stationtable.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// What the centre knows about its fleet, from the stations' messages: every
// station's state and counters, the last status of every vehicle, the newest
// telegrams and gaps, and a numbered history of changes that a browser
// follows live and catches up from after a reconnect. Every part is bounded,
// whatever the stations send. Safe to use from several threads.
namespace publish {

struct FleetLimits {
    size_t stations = 1000;       // further stations are counted, not kept
    size_t vehicles = 10000;      // the least recently heard vehicle makes room
    size_t telegrams = 500;       // the newest, for the page's list
    size_t gaps = 100;
    size_t history = 4096;        // changes a reconnecting browser can catch up on
    size_t field = 200;           // bytes of any one text from a station
    size_t payload = 64 * 1024;   // larger messages are counted and ignored
};

class FleetState {
public:
    using Clock = std::chrono::system_clock;
    // The designation for a vehicle identifier, or empty.
    using Designations = std::function<std::string(const std::string &identifier)>;

    struct Update {
        std::string id;     // "RUN-N": N counts up within one run of the program
        std::string kind;   // "station", "vehicle", "telegram", "gap", "broker"
        std::string json;
    };

    explicit FleetState(FleetLimits limits = {}, Designations designations = {});

    void Take(const StationEvent &event, Clock::time_point now = Clock::now());
    void SetBrokerConnected(bool connected);

    // The whole state as one JSON object; its "event_id" is the last update
    // it contains.
    std::string StateJson(Clock::time_point now = Clock::now()) const;
    // The Prometheus text format.
    std::string Metrics(Clock::time_point now = Clock::now()) const;

    // The newest update's id: where a reader with no history starts.
    std::string LatestId() const;
    // The updates after `lastId`. None when `lastId` is from another run or
    // has left the history: the reader must start again from StateJson.
    std::optional<std::vector<Update>> UpdatesAfter(const std::string &lastId) const;
    // Waits until there is an update after `lastId`, Close() is called or the
    // timeout passes.
    void WaitForUpdate(const std::string &lastId, std::chrono::milliseconds timeout) const;
    void Close();
    bool Closed() const;

private:
    struct Station {
        std::string name;
        std::string state = "unknown";   // online, offline, device-lost
        std::string serialNumber, firmware, hardware, port;
        std::optional<Clock::time_point> lastMessage;
        uint64_t telegrams = 0;
        uint64_t lines = 0;
        uint64_t gaps = 0;          // messages that never arrived
        uint64_t repeats = 0;       // delivered twice (QoS 1) and dropped
        uint64_t spoolDropped = 0;
    };
    struct Vehicle {
        std::string identifier, designation, status, direction, station, time, text;
    };

    Station *StationNamed(const std::string &name);
    // False for a repeat, which is dropped.
    bool Sequence(Station &station, const nlohmann::ordered_json &message, Clock::time_point now);
    void TakeTelegram(Station &station, const nlohmann::ordered_json &message, Clock::time_point now);
    void TakeDevice(Station &station, const StationEvent &event);
    void Publish(const char *kind, std::string json);
    std::string StationJson(const Station &station) const;
    std::string Bounded(std::string text) const;

    FleetLimits limits_;
    Designations designations_;
    std::string run_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool closed_ = false;
    bool brokerConnected_ = false;
    std::map<std::string, Station> stations_;
    StationTable numbering_;   // per station: epoch, seqs seen, gaps
    uint64_t stationsRefused_ = 0;
    uint64_t oversized_ = 0;
    std::list<Vehicle> vehicles_;   // newest first
    std::unordered_map<std::string, std::list<Vehicle>::iterator> vehicleIndex_;
    std::deque<std::string> telegrams_;   // JSON, newest last
    std::deque<std::string> gaps_;
    uint64_t nextId_ = 1;
    std::deque<Update> history_;
};

} // namespace publish
