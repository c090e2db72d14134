#include "fleetstate.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ctime>
#include <random>

namespace publish {

namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json &value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

// UTC with milliseconds: 2026-12-07T14:05:09.123Z.
std::string UtcTime(FleetState::Clock::time_point when)
{
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(millis % 1000));
    return text;
}

std::string Member(const Json &object, const char *name)
{
    const auto found = object.find(name);
    if (found == object.end())
        return {};
    if (found->is_string())
        return found->get<std::string>();
    if (found->is_number())
        return found->dump();
    return {};
}

uint64_t Count(const Json &object, const char *name)
{
    const auto found = object.find(name);
    return found != object.end() && found->is_number_unsigned() ? found->get<uint64_t>() : 0;
}

// A label value in the Prometheus text format.
std::string Label(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// "RUN-N" split; nullopt for anything else.
std::optional<std::pair<std::string, uint64_t>> SplitId(const std::string &id)
{
    const size_t dash = id.rfind('-');
    if (dash == std::string::npos || dash + 1 >= id.size() || id.size() - dash > 21)
        return std::nullopt;
    uint64_t n = 0;
    for (size_t i = dash + 1; i < id.size(); ++i) {
        if (id[i] < '0' || id[i] > '9')
            return std::nullopt;
        n = n * 10 + static_cast<uint64_t>(id[i] - '0');
    }
    return std::make_pair(id.substr(0, dash), n);
}

} // namespace

FleetState::FleetState(FleetLimits limits, Designations designations)
    : limits_(limits), designations_(std::move(designations)),
      numbering_(StationTable::Limits{limits.stations, StationTable::Limits{}.repeatWindow})
{
    // A browser that reconnects to a restarted program must not take the new
    // run's numbers for the old run's.
    std::random_device random;
    char run[17];
    std::snprintf(run, sizeof run, "%08x%08x", random(), random());
    run_ = run;
}

std::string FleetState::Bounded(std::string text) const
{
    if (text.size() > limits_.field)
        text.resize(limits_.field);
    return text;
}

FleetState::Station *FleetState::StationNamed(const std::string &name)
{
    const auto found = stations_.find(name);
    if (found != stations_.end())
        return &found->second;
    if (stations_.size() >= limits_.stations) {
        ++stationsRefused_;
        return nullptr;
    }
    Station &station = stations_[name];
    station.name = name;
    return &station;
}

void FleetState::Take(const StationEvent &event, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::max(event.size, event.payload.size()) > limits_.payload || event.station.size() > limits_.field) {
        ++oversized_;
        return;
    }
    // New stations beyond the limit are refused here, so the numbering
    // table never has to forget one.
    Station *station = StationNamed(event.station);
    if (!station)
        return;
    // A retained message is as old as the station's last change: it says
    // nothing about when the station was last heard.
    if (!event.retained)
        station->lastMessage = now;
    if (event.leaf == "status") {
        numbering_.Heard(station->name);
        const std::string &state = event.payload;
        station->state = state == "online" || state == "offline" || state == "device-lost" ? state : "unknown";
    } else if (event.leaf == "device") {
        numbering_.Heard(station->name);
        TakeDevice(*station, event);
    } else if (event.leaf == "telegram" || event.leaf == "line") {
        const Json message = Json::parse(event.payload, nullptr, false);
        if (!message.is_object()) {
            numbering_.Heard(station->name);
        } else if (!Sequence(*station, message, now)) {
            ++station->repeats;
            return;
        } else if (event.leaf == "telegram") {
            TakeTelegram(*station, message, now);
        } else if (Member(message, "kind") != "spool-dropped") {
            ++station->lines;
        }
    } else {
        return;
    }
    Publish("station", StationJson(*station));
}

bool FleetState::Sequence(Station &station, const Json &message, Clock::time_point now)
{
    const std::string epoch = Member(message, "epoch");
    const auto seq = message.find("seq");
    StationTable::Outcome outcome;
    if (seq != message.end() && seq->is_number_unsigned()) {
        outcome = numbering_.Numbered(station.name, epoch, seq->get<uint64_t>());
    } else if (Member(message, "kind") == "spool-dropped") {
        const uint64_t dropped = Count(message, "dropped");
        const uint64_t first = Count(message, "first_seq");
        const uint64_t last = Count(message, "last_seq");
        outcome = numbering_.SpoolDropped(station.name, epoch, dropped,
                                          first && last ? std::optional<SeqRange>(SeqRange{first, last}) : std::nullopt);
        station.spoolDropped += dropped;
    } else {
        outcome = numbering_.Heard(station.name);
    }
    for (const SeqRange &gap : outcome.gaps) {
        station.gaps += gap.last - gap.first + 1;
        std::string json = Dump(Json{{"station", station.name},
                                     {"first_seq", gap.first},
                                     {"last_seq", gap.last},
                                     {"time", UtcTime(now)}});
        gaps_.push_back(json);
        while (gaps_.size() > limits_.gaps)
            gaps_.pop_front();
        Publish("gap", std::move(json));
    }
    return !outcome.repeat;
}

void FleetState::TakeDevice(Station &station, const StationEvent &event)
{
    const Json device = Json::parse(event.payload, nullptr, false);
    if (!device.is_object())
        return;
    station.serialNumber = Bounded(Member(device, "serial_number"));
    station.firmware = Bounded(Member(device, "firmware_version"));
    station.hardware = Bounded(Member(device, "hardware_revision"));
    station.port = Bounded(Member(device, "port"));
}

void FleetState::TakeTelegram(Station &station, const Json &message, Clock::time_point now)
{
    ++station.telegrams;
    Vehicle vehicle;
    vehicle.identifier = Bounded(Member(message, "identifier"));
    vehicle.designation = designations_ ? designations_(vehicle.identifier) : std::string();
    if (vehicle.designation.empty())
        vehicle.designation = Member(message, "designation");
    vehicle.designation = Bounded(vehicle.designation);
    vehicle.status = Bounded(Member(message, "status"));
    vehicle.direction = Bounded(Member(message, "direction"));
    vehicle.station = station.name;
    vehicle.time = Bounded(Member(message, "time"));
    if (vehicle.time.empty())
        vehicle.time = UtcTime(now);
    vehicle.text = Bounded(Member(message, "text"));

    Json telegram = {{"station", station.name},
                     {"seq", Count(message, "seq")},
                     {"time", vehicle.time},
                     {"identifier", vehicle.identifier},
                     {"designation", vehicle.designation},
                     {"status", vehicle.status},
                     {"tactical_info", Bounded(Member(message, "tactical_info"))},
                     {"stage", Bounded(Member(message, "stage"))},
                     {"direction", vehicle.direction},
                     {"text", vehicle.text}};
    std::string telegramJson = Dump(telegram);
    telegrams_.push_back(telegramJson);
    while (telegrams_.size() > limits_.telegrams)
        telegrams_.pop_front();
    Publish("telegram", std::move(telegramJson));

    if (vehicle.identifier.empty())
        return;
    const auto known = vehicleIndex_.find(vehicle.identifier);
    if (known != vehicleIndex_.end()) {
        vehicles_.erase(known->second);
        vehicleIndex_.erase(known);
    }
    vehicles_.push_front(vehicle);
    vehicleIndex_[vehicle.identifier] = vehicles_.begin();
    while (vehicles_.size() > limits_.vehicles) {
        vehicleIndex_.erase(vehicles_.back().identifier);
        vehicles_.pop_back();
    }
    Publish("vehicle", Dump(Json{{"identifier", vehicle.identifier},
                                 {"designation", vehicle.designation},
                                 {"status", vehicle.status},
                                 {"direction", vehicle.direction},
                                 {"station", vehicle.station},
                                 {"time", vehicle.time},
                                 {"text", vehicle.text}}));
}

void FleetState::SetBrokerConnected(bool connected)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (brokerConnected_ == connected)
        return;
    brokerConnected_ = connected;
    Publish("broker", Dump(Json{{"connected", connected}}));
}

void FleetState::Publish(const char *kind, std::string json)
{
    history_.push_back({run_ + "-" + std::to_string(nextId_++), kind, std::move(json)});
    while (history_.size() > limits_.history)
        history_.pop_front();
    changed_.notify_all();
}

std::string FleetState::StationJson(const Station &station) const
{
    return Dump(Json{{"name", station.name},
                     {"state", station.state},
                     {"serial_number", station.serialNumber},
                     {"firmware_version", station.firmware},
                     {"hardware_revision", station.hardware},
                     {"port", station.port},
                     {"last_message", station.lastMessage ? Json(UtcTime(*station.lastMessage)) : Json(nullptr)},
                     {"telegrams", station.telegrams},
                     {"lines", station.lines},
                     {"gaps", station.gaps},
                     {"repeats", station.repeats},
                     {"spool_dropped", station.spoolDropped}});
}

std::string FleetState::StateJson(Clock::time_point now) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out = "{\"event_id\":\"" + run_ + "-" + std::to_string(nextId_ - 1) + "\",\"now\":\"" +
                      UtcTime(now) + "\",\"broker_connected\":" + (brokerConnected_ ? "true" : "false") +
                      ",\"stations_refused\":" + std::to_string(stationsRefused_) + ",\"stations\":[";
    bool first = true;
    for (const auto &[name, station] : stations_) {
        out += (first ? "" : ",") + StationJson(station);
        first = false;
    }
    out += "],\"vehicles\":[";
    first = true;
    for (const Vehicle &vehicle : vehicles_) {
        out += (first ? "" : ",") + Dump(Json{{"identifier", vehicle.identifier},
                                              {"designation", vehicle.designation},
                                              {"status", vehicle.status},
                                              {"direction", vehicle.direction},
                                              {"station", vehicle.station},
                                              {"time", vehicle.time},
                                              {"text", vehicle.text}});
        first = false;
    }
    out += "],\"telegrams\":[";
    for (auto telegram = telegrams_.rbegin(); telegram != telegrams_.rend(); ++telegram)
        out += (telegram == telegrams_.rbegin() ? "" : ",") + *telegram;
    out += "],\"gaps\":[";
    for (auto gap = gaps_.rbegin(); gap != gaps_.rend(); ++gap)
        out += (gap == gaps_.rbegin() ? "" : ",") + *gap;
    return out + "]}";
}

std::string FleetState::Metrics(Clock::time_point now) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    auto family = [&](const char *name, const char *type, const char *help, auto value) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        for (const auto &[stationName, station] : stations_) {
            const std::string sample = value(station);
            if (!sample.empty())
                out += std::string(name) + "{station=\"" + Label(stationName) + "\"} " + sample + "\n";
        }
    };
    family("karvenzop_station_online", "gauge", "1 while the station's monitor is connected and its device present.",
           [](const Station &s) { return std::string(s.state == "online" ? "1" : "0"); });
    family("karvenzop_station_device_lost", "gauge", "1 while the station's decoder is gone.",
           [](const Station &s) { return std::string(s.state == "device-lost" ? "1" : "0"); });
    family("karvenzop_station_last_message_age_seconds", "gauge", "Seconds since the station's last message.",
           [&](const Station &s) {
               if (!s.lastMessage)
                   return std::string();
               const double age = std::chrono::duration<double>(now - *s.lastMessage).count();
               char text[32];
               std::snprintf(text, sizeof text, "%.3f", age < 0 ? 0.0 : age);
               return std::string(text);
           });
    family("karvenzop_station_telegrams_total", "counter", "Telegrams received from the station.",
           [](const Station &s) { return std::to_string(s.telegrams); });
    family("karvenzop_station_gaps_total", "counter", "Messages of the station that never arrived.",
           [](const Station &s) { return std::to_string(s.gaps); });
    family("karvenzop_station_spool_dropped_total", "counter", "Messages the station's full spool dropped.",
           [](const Station &s) { return std::to_string(s.spoolDropped); });
    out += "# HELP karvenzop_station_decoder_info The station's decoder.\n# TYPE karvenzop_station_decoder_info gauge\n";
    for (const auto &[name, station] : stations_)
        if (!station.serialNumber.empty() || !station.firmware.empty())
            out += "karvenzop_station_decoder_info{station=\"" + Label(name) + "\",serial_number=\"" +
                   Label(station.serialNumber) + "\",firmware_version=\"" + Label(station.firmware) +
                   "\",hardware_revision=\"" + Label(station.hardware) + "\"} 1\n";
    out += "# HELP karvenzop_board_broker_connected 1 while the board is connected to the broker.\n"
           "# TYPE karvenzop_board_broker_connected gauge\nkarvenzop_board_broker_connected " +
           std::string(brokerConnected_ ? "1" : "0") + "\n";
    out += "# HELP karvenzop_board_vehicles Vehicles the board knows.\n# TYPE karvenzop_board_vehicles gauge\n"
           "karvenzop_board_vehicles " + std::to_string(vehicles_.size()) + "\n";
    out += "# HELP karvenzop_board_stations_refused_total Messages of stations beyond the board's limit.\n"
           "# TYPE karvenzop_board_stations_refused_total counter\nkarvenzop_board_stations_refused_total " +
           std::to_string(stationsRefused_) + "\n";
    out += "# HELP karvenzop_board_oversized_messages_total Messages too large to take.\n"
           "# TYPE karvenzop_board_oversized_messages_total counter\nkarvenzop_board_oversized_messages_total " +
           std::to_string(oversized_) + "\n";
    return out;
}

std::string FleetState::LatestId() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return run_ + "-" + std::to_string(nextId_ - 1);
}

std::optional<std::vector<FleetState::Update>> FleetState::UpdatesAfter(const std::string &lastId) const
{
    const auto split = SplitId(lastId);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!split || split->first != run_ || split->second >= nextId_)
        return std::nullopt;
    const uint64_t oldest = history_.empty() ? nextId_ : nextId_ - history_.size();
    // The update right after `lastId` must still be held.
    if (split->second + 1 < oldest)
        return std::nullopt;
    std::vector<Update> out;
    for (size_t i = static_cast<size_t>(split->second + 1 - oldest); i < history_.size(); ++i)
        out.push_back(history_[i]);
    return out;
}

void FleetState::WaitForUpdate(const std::string &lastId, std::chrono::milliseconds timeout) const
{
    const auto split = SplitId(lastId);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] {
        return closed_ || !split || split->first != run_ || split->second + 1 < nextId_;
    });
}

void FleetState::Close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool FleetState::Closed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

} // namespace publish
