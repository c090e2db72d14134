#include "watch.h"

#include "brokeroptions.h"
#include "centresubscriber.h"
#include "eventwait.h"
#include "exitcodes.h"
#include "mainthreadsync.h"
#include "textout.h"

#include <nlohmann/json.hpp>

#include <map>
#include <optional>

namespace cli {

namespace {

// A message larger than this is announced, not shown: no station sends one.
constexpr size_t MaxShownPayload = 64 * 1024;
// A seq this far behind the last one seen is a station that started its
// numbering anew (a new spool), not a repeat.
constexpr uint64_t RepeatWindow = 100000;

using Json = nlohmann::ordered_json;

std::optional<Json> ParseObject(const std::string &payload)
{
    Json value = Json::parse(payload, nullptr, false);
    if (value.is_discarded() || !value.is_object())
        return std::nullopt;
    return value;
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

// The text line for one message; empty for a repeat.
std::string TextLine(const publish::StationEvent &event, const std::optional<Json> &object)
{
    const std::string station = Printable(event.station);
    std::string time = object ? Member(*object, "time") : std::string();
    if (time.empty())
        time = IsoTime(std::chrono::system_clock::now());
    time = Printable(time);
    if (event.leaf == "status")
        return time + " " + station + " status: " + Printable(event.payload) + "\n";
    if (!object)
        return time + " " + station + " " + event.leaf + ": " + Printable(event.payload) + "\n";
    if (event.leaf == "device")
        return time + " " + station + " device: serial number " + Printable(Member(*object, "serial_number")) +
               ", firmware " + Printable(Member(*object, "firmware_version")) + ", hardware " +
               Printable(Member(*object, "hardware_revision")) + ", port " + Printable(Member(*object, "port")) + "\n";
    if (Member(*object, "kind") == "spool-dropped") {
        std::string text = time + " " + station + " " + Member(*object, "dropped") + " messages dropped from the full spool";
        if (!Member(*object, "first_seq").empty())
            text += " (seq " + Member(*object, "first_seq") + " to " + Member(*object, "last_seq") + ")";
        return text + "\n";
    }
    std::string shown = Member(*object, "log");
    if (shown.empty())
        shown = Member(*object, "raw");
    std::string line = time + " " + station + " " + Printable(shown);
    const std::string designation = Member(*object, "designation");
    if (!designation.empty())
        line += (line.back() == ' ' ? "" : " ") + std::string("= ") + Printable(designation);
    return line + "\n";
}

} // namespace

int RunWatch(const WatchOptions &options, EventWait &wait)
{
    using Clock = EventWait::Clock;
    publish::LinkSettings link = BrokerLinkFromOptions(options.url, options.broker);
    long printed = 0;
    bool readerGone = false;
    std::optional<std::string> refused;
    std::map<std::string, uint64_t> lastSeq;   // per station: QoS 1 may deliver twice

    auto show = [&](const publish::StationEvent &event) {
        if (readerGone || (options.count >= 0 && printed >= options.count))
            return;
        const std::string payload = event.payload.size() > MaxShownPayload
                                        ? "(" + std::to_string(event.payload.size()) + " bytes, not shown)"
                                        : event.payload;
        const std::optional<Json> object = ParseObject(payload);
        if (object && (event.leaf == "telegram" || event.leaf == "line")) {
            const auto seq = object->find("seq");
            if (seq != object->end() && seq->is_number_unsigned()) {
                const uint64_t value = seq->get<uint64_t>();
                const auto last = lastSeq.find(event.station);
                if (last != lastSeq.end() && value <= last->second && last->second - value < RepeatWindow)
                    return;
                lastSeq[event.station] = value;
            }
        }
        std::string out;
        if (options.json) {
            Json record = {{"time", IsoTime(std::chrono::system_clock::now())},
                           {"station", event.station},
                           {"topic", event.leaf},
                           {"retained", event.retained}};
            record["message"] = object ? *object : Json(payload);
            out = record.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
        } else {
            out = TextLine(event, object);
        }
        readerGone = !WriteOut(out);
        ++printed;
    };

    MainThreadSync &sync = MainThreadSync::Instance();
    int owner = 0;
    {
        publish::CentreSubscriber subscriber(
            link, publish::CentreSubscriber::Handlers{
                      [&](const publish::StationEvent &event) { sync.Post(&owner, [&, event] { show(event); }); },
                      [&](const std::string &text) {
                          sync.Post(&owner, [&, text] {
                              if (!refused)
                                  PrintNotice(text);
                          });
                      },
                      [&](const std::string &text) { sync.Post(&owner, [&, text] { refused = text; }); }});
        const Clock::time_point deadline =
            options.duration >= 0
                ? Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.duration))
                : Clock::time_point::max();
        wait.Until([&] { return refused || readerGone || (options.count >= 0 && printed >= options.count); }, deadline);
    }
    sync.CancelPosted(&owner);
    if (!refused)
        return ExitOk;
    PrintError("broker " + link.broker.host + ":" + std::to_string(link.broker.port) + ": " + *refused);
    return ExitBrokerRefused;
}

} // namespace cli
