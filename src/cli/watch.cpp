#include "watch.h"

#include "brokeroptions.h"
#include "centresubscriber.h"
#include "eventwait.h"
#include "exitcodes.h"
#include "fileio.h"
#include "mainthreadsync.h"
#include "outqueue.h"
#include "spoolfiles.h"
#include "stationtable.h"
#include "systemnames.h"
#include "textout.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>

namespace cli {

namespace {

// Messages handed from the subscriber's thread and not yet shown. Past this
// the subscriber stops reading the socket, and the broker keeps the rest.
constexpr long MaxPending = 256;

using Json = nlohmann::ordered_json;

std::optional<Json> ParseObject(const std::string &payload)
{
    Json value = Json::parse(payload, nullptr, false);
    if (value.is_discarded() || !value.is_object())
        return std::nullopt;
    return value;
}

// A member as text, shown as data.
std::string Member(const Json &object, const char *name)
{
    const auto found = object.find(name);
    if (found == object.end())
        return {};
    if (found->is_string())
        return Printable(found->get<std::string>());
    if (found->is_number())
        return Printable(found->dump());
    return {};
}

// JSON text with every string escaped as the monitor's output escapes it.
std::string Dump(const Json &value)
{
    if (value.is_string())
        return JsonString(value.get<std::string>());
    if (value.is_object()) {
        std::string out = "{";
        for (auto member = value.begin(); member != value.end(); ++member)
            out += (out.size() > 1 ? "," : "") + JsonString(member.key()) + ":" + Dump(member.value());
        return out + "}";
    }
    if (value.is_array()) {
        std::string out = "[";
        for (const Json &item : value)
            out += (out.size() > 1 ? "," : "") + Dump(item);
        return out + "]";
    }
    return value.dump();
}

std::string NotShown(const publish::StationEvent &event)
{
    return "(" + std::to_string(event.size) + " bytes, not shown)";
}

// The text line for one message.
std::string TextLine(const publish::StationEvent &event, const std::optional<Json> &object, const std::string &now)
{
    const std::string station = Printable(event.station);
    std::string time = object ? Member(*object, "time") : std::string();
    if (time.empty())
        time = now;
    const std::string payload = event.size > publish::CentreSubscriber::MaxPayload ? NotShown(event) : event.payload;
    if (event.leaf == "status")
        return time + " " + station + " status: " + Printable(payload) + "\n";
    if (!object)
        return time + " " + station + " " + event.leaf + ": " + Printable(payload) + "\n";
    if (event.leaf == "device")
        return time + " " + station + " device: serial number " + Member(*object, "serial_number") + ", firmware " +
               Member(*object, "firmware_version") + ", hardware " + Member(*object, "hardware_revision") +
               ", port " + Member(*object, "port") + "\n";
    if (Member(*object, "kind") == "spool-dropped") {
        std::string text = time + " " + station + " " + Member(*object, "dropped") + " messages dropped from the full spool";
        if (!Member(*object, "first_seq").empty())
            text += " (seq " + Member(*object, "first_seq") + " to " + Member(*object, "last_seq") + ")";
        return text + "\n";
    }
    std::string shown = Member(*object, "log");
    if (shown.empty())
        shown = Member(*object, "raw");
    std::string line = time + " " + station + " " + shown;
    const std::string designation = Member(*object, "designation");
    if (!designation.empty())
        line += (line.back() == ' ' ? "" : " ") + std::string("= ") + designation;
    return line + "\n";
}

// Where a session's station table waits for its next run; empty without a state folder.
std::string SessionStateFile(const std::string &session)
{
    const std::string folder = StateFolder();
    return folder.empty() ? std::string() : folder + "/watch-" + session + ".json";
}

// A saved table is a few hundred KiB at most (1024 stations).
constexpr uint64_t SessionStateLimit = 16 << 20;

std::string GapText(const std::string &now, const std::string &station, const publish::SeqRange &gap)
{
    const std::string first = std::to_string(gap.first);
    return now + " " + Printable(station) + " gap: " +
           (gap.first == gap.last ? "seq " + first : "seq " + first + " to " + std::to_string(gap.last)) +
           " not received\n";
}

} // namespace

int RunWatch(const WatchOptions &options, EventWait &wait)
{
    using Clock = EventWait::Clock;
    publish::LinkSettings link = BrokerLinkFromOptions(options.url, options.broker);
    OutQueue out;
    EventWait::OutputScope writing(wait, out);

    long printed = 0;
    std::optional<std::string> refused;
    publish::StationTable stations;
    // With a session the station table goes on across runs, so a message
    // delivered again after a restart is no new one, and a gap across the
    // restart is seen.
    const std::string stateFile = options.session.empty() ? std::string() : SessionStateFile(options.session);
    if (!stateFile.empty() && std::filesystem::exists(stateFile)) {
        std::string saved;
        try {
            saved = LoadFileBytes(stateFile, SessionStateLimit);
        } catch (const std::exception &e) {
            PrintError(std::string(e.what()) + "; the session's stations start afresh");
        }
        if (!saved.empty() && !stations.Load(saved))
            PrintError(stateFile + " holds no station table; the session's stations start afresh");
    }
    std::atomic<long> pending{0};
    std::atomic<bool> stopping{false};

    auto show = [&](const publish::StationEvent &event) {
        --pending;
        if (out.ReaderGone() || (options.count >= 0 && printed >= options.count))
            return;
        const publish::StationTable::Outcome outcome = stations.Take(event);
        const std::string now = IsoTime(std::chrono::system_clock::now());
        if (outcome.forgotten) {
            out.Add(options.json ? "{\"time\":\"" + now + "\",\"station\":" + JsonString(*outcome.forgotten) +
                                       ",\"kind\":\"forgotten\",\"stations\":" +
                                       std::to_string(stations.Bounds().stations) + "}\n"
                                 : now + " " + Printable(*outcome.forgotten) + " forgotten: more than " +
                                       std::to_string(stations.Bounds().stations) + " stations\n");
        }
        for (const publish::SeqRange &gap : outcome.gaps)
            out.Add(options.json ? "{\"station\":" + JsonString(event.station) +
                                       ",\"kind\":\"gap\",\"first_seq\":" + std::to_string(gap.first) +
                                       ",\"last_seq\":" + std::to_string(gap.last) + ",\"time\":\"" + now + "\"}\n"
                                 : GapText(now, event.station, gap));
        if (outcome.repeat)
            return;
        const bool tooLarge = event.size > publish::CentreSubscriber::MaxPayload;
        const std::optional<Json> object = tooLarge ? std::nullopt : ParseObject(event.payload);
        if (options.json) {
            out.Add("{\"time\":\"" + now + "\",\"station\":" + JsonString(event.station) +
                    ",\"topic\":" + JsonString(event.leaf) + ",\"retained\":" + (event.retained ? "true" : "false") +
                    ",\"message\":" +
                    (object ? Dump(*object) : JsonString(tooLarge ? NotShown(event) : event.payload)) + "}\n");
        } else {
            out.Add(TextLine(event, object, now));
        }
        ++printed;
    };

    MainThreadSync &sync = MainThreadSync::Instance();
    int owner = 0;
    {
        publish::CentreSubscriber subscriber(
            link,
            publish::CentreSubscriber::Handlers{
                [&](const publish::StationEvent &event) {
                    while (pending.load() >= MaxPending && !stopping)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    ++pending;
                    sync.Post(&owner, [&, event] { show(event); });
                },
                [&](const std::string &text) {
                    sync.Post(&owner, [&, text] {
                        if (!refused)
                            PrintError(text);
                    });
                },
                [&](const std::string &text) { sync.Post(&owner, [&, text] { refused = text; }); }},
            options.session);
        const Clock::time_point deadline =
            options.duration >= 0
                ? Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.duration))
                : Clock::time_point::max();
        wait.Until([&] { return refused || out.ReaderGone() || (options.count >= 0 && printed >= options.count); },
                   deadline);
        stopping = true;
    }
    // Delivered messages were acknowledged to the broker: they are shown,
    // not dropped with the subscriber.
    sync.CheckSynchronize();
    sync.CancelPosted(&owner);
    if (!stateFile.empty()) {
        try {
            publish::CreateFolders(std::filesystem::path(stateFile).parent_path().string());
            SaveFileBytes(stateFile, stations.Save());
        } catch (const std::exception &e) {
            PrintError(std::string(e.what()) + ": the session's stations are not kept");
        }
    }
    if (!wait.FinishOutput(out))
        return ExitOutput;
    if (!refused)
        return ExitOk;
    PrintError("broker " + link.broker.host + ":" + std::to_string(link.broker.port) + ": " + *refused);
    return ExitBrokerRefused;
}

} // namespace cli
