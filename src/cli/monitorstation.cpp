#include "monitorstation.h"

#include "brokeroptions.h"
#include "decoderline.h"
#include "stationpublisher.h"
#include "substitutionlist.h"
#include "systemnames.h"
#include "text8bit.h"
#include "textout.h"

#include <stdexcept>

namespace cli {

namespace {

const char *const DeviceMembers[] = {"serial_number", "firmware_version", "hardware_revision"};

// The object with one more member before its closing brace.
std::string WithMember(std::string object, const std::string &name, const std::string &value)
{
    while (!object.empty() && (object.back() == '\n' || object.back() == '}'))
        object.pop_back();
    return object + ",\"" + name + "\":" + JsonString(value) + "}";
}

} // namespace

const char *const MonitorStation::DeviceQueries[3] = {"GS", "GF", "GR"};

MonitorStation::MonitorStation(const StationOptions &options, const std::string &port) : port_(port)
{
    publish::StationSettings settings;
    settings.link = BrokerLinkFromOptions(options.url, options.broker);
    settings.station = options.station.empty() ? HostName() : options.station;
    const std::string problem = publish::StationNameProblem(settings.station);
    if (!problem.empty())
        throw std::invalid_argument("station name '" + Printable(settings.station) + "' holds " + problem);
    settings.limits = options.limits;
    settings.spoolDir = options.spool;
    if (settings.spoolDir.empty()) {
        const std::string state = StateFolder();
        if (state.empty())
            throw std::invalid_argument("no folder for the spool: use --spool");
        settings.spoolDir = state + "/spool-" + settings.station;
    }
    if (!options.substitutions.empty()) {
        designations_ = std::make_unique<SubstitutionList>();
        designations_->LoadFromFile(options.substitutions);
    }
    publisher_ = std::make_unique<publish::StationPublisher>(std::move(settings),
                                                             [](const std::string &text) { PrintError(text); });
}

MonitorStation::~MonitorStation() = default;

void MonitorStation::Take(const decoder::DecoderLine &line, const std::string &jsonRecord)
{
    using decoder::LineKind;
    switch (line.kind) {
    case LineKind::SerialNumber:
    case LineKind::FirmwareVersion:
    case LineKind::HardwareRevision:
        device_[DeviceMembers[line.kind == LineKind::SerialNumber ? 0 : line.kind == LineKind::FirmwareVersion ? 1 : 2]] =
            TextToUtf8(line.value);
        PublishDeviceWhenComplete();
        return;
    case LineKind::Telegram: {
        std::string object = jsonRecord;
        if (designations_) {
            const size_t entry = designations_->Find(line.telegram.identifier);
            if (entry != SubstitutionList::npos)
                object = WithMember(object, "designation",
                                    DecodeText(designations_->Value(entry), designations_->Encoding()));
        }
        while (!object.empty() && object.back() == '\n')
            object.pop_back();
        publisher_->Telegram(object);
        return;
    }
    default: {
        std::string object = jsonRecord;
        while (!object.empty() && object.back() == '\n')
            object.pop_back();
        publisher_->Line(object);
    }
    }
}

void MonitorStation::PublishDeviceWhenComplete()
{
    std::string object = "{";
    for (const char *member : DeviceMembers) {
        const auto found = device_.find(member);
        if (found == device_.end())
            return;
        object += "\"" + std::string(member) + "\":" + JsonString(found->second) + ",";
    }
    object += "\"port\":" + JsonString(port_) + ",\"time\":\"" + IsoTime(std::chrono::system_clock::now()) + "\"}";
    publisher_->Device(object);
}

void MonitorStation::DeviceOpened()
{
    device_.clear();
    publisher_->SetDeviceLost(false);
}

void MonitorStation::DeviceLost()
{
    device_.clear();
    publisher_->SetDeviceLost(true);
}

} // namespace cli
