#include "stationpublisher.h"

#include <nlohmann/json.hpp>

namespace publish {

namespace {

using Clock = BrokerLink::Clock;

// Messages sent and not yet acknowledged: enough to keep a loopback or LAN
// link busy, few enough that a reconnect sends little twice.
constexpr size_t Window = 256;
// A broker that takes messages but acknowledges none for this long is given up.
constexpr auto AckTimeout = std::chrono::seconds(30);
// What a stopping monitor still waits for the broker.
constexpr auto StopGrace = std::chrono::seconds(2);
// Messages waiting for the publisher's thread. It takes them within a loop
// turn; only a stalled disk lets them pile up, and then memory stays bounded.
constexpr size_t MaxHandovers = 65536;

std::string Quoted(const std::string &text)
{
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// {"station":...,<extra>, and the object's own members}
std::string WithStation(const std::string &station, const std::string &extra, const std::string &object)
{
    std::string out = "{\"station\":" + Quoted(station) + extra;
    const bool empty = object.size() <= 2;
    out += empty ? "}" : "," + object.substr(1);
    return out;
}

} // namespace

StationPublisher::StationPublisher(StationSettings settings, Report report)
    : settings_(std::move(settings)), report_(std::move(report)), spool_(settings_.spoolDir, settings_.limits),
      epochMember_(",\"epoch\":" + Quoted(spool_.Epoch())),
      link_(
          [this] {
              LinkSettings link = settings_.link;
              link.clientId = "karvenzop-" + settings_.station;
              link.will = std::make_pair(Topic("status"), std::string("offline"));
              return link;
          }(),
          BrokerLink::Events{
              [this] {
                  inFlight_.clear();
                  announcingMid_ = -1;
                  stateSent_ = false;
                  spool_.Rewind();
              },
              [this] {
                  inFlight_.clear();
                  announcingMid_ = -1;
              },
              [this](int mid) {
                  const auto sent = inFlight_.find(mid);
                  if (sent == inFlight_.end())
                      return;
                  if (mid == announcingMid_) {
                      spool_.DroppedAnnounced(announcing_);
                      announcingMid_ = -1;
                  } else {
                      spool_.Delivered(sent->second.seq);
                  }
                  inFlight_.erase(sent);
              },
              nullptr,
              [this](const std::string &text) {
                  if (report_)
                      report_(text);
              },
              nullptr})
{
    thread_ = std::thread([this] { Run(); });
}

StationPublisher::~StationPublisher()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.Raise();
    thread_.join();
}

std::string StationPublisher::Topic(const char *leaf) const
{
    return StationTopic(settings_.link.broker, settings_.station, leaf);
}

void StationPublisher::Hand(Channel channel, const std::string &object)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (handovers_.size() >= MaxHandovers) {
            handovers_.pop_front();
            ++handoverDropped_;
        }
        handovers_.push_back({channel, object});
        idle_ = false;
    }
    wake_.Raise();
}

void StationPublisher::Telegram(const std::string &object) { Hand(Channel::Telegram, object); }
void StationPublisher::Line(const std::string &object) { Hand(Channel::Line, object); }

void StationPublisher::Device(const std::string &object)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device_ = WithStation(settings_.station, epochMember_, object);
        deviceChanged_ = true;
    }
    wake_.Raise();
}

void StationPublisher::SetDeviceLost(bool lost)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        statusChanged_ = statusChanged_ || deviceLost_ != lost;
        deviceLost_ = lost;
    }
    wake_.Raise();
}

bool StationPublisher::Flush(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return flushed_.wait_for(lock, timeout, [this] { return idle_; });
}

void StationPublisher::TakeHandovers()
{
    std::deque<Handover> batch;
    uint64_t lost = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        batch.swap(handovers_);
        std::swap(lost, handoverDropped_);
    }
    // What could not be written still gets its seq, so the loss is
    // announced with its range once there is room again.
    std::optional<std::string> failure;
    for (; lost > 0; --lost)
        spool_.Lose();
    for (const Handover &handover : batch) {
        try {
            const std::string seq = epochMember_ + ",\"seq\":" + std::to_string(spool_.NextSeq());
            spool_.Append(handover.channel, WithStation(settings_.station, seq, handover.object));
        } catch (const std::exception &e) {
            failure = e.what();
            spool_.Lose();
        }
    }
    try {
        spool_.Commit();
    } catch (const std::exception &e) {
        failure = e.what();
    }
    // Said once when writing fails and once when it works again, not per message.
    if (failure && !spoolFailing_) {
        if (report_)
            report_("spool: " + *failure + "; dropping messages until there is room");
    } else if (!failure && spoolFailing_ && !batch.empty()) {
        if (report_)
            report_("spool: writing again");
    }
    if (failure || !batch.empty())
        spoolFailing_ = failure.has_value();
}

void StationPublisher::PublishState()
{
    bool lost, sendStatus, sendDevice;
    std::string device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sendStatus = !stateSent_ || statusChanged_;
        sendDevice = !device_.empty() && (!stateSent_ || deviceChanged_);
        statusChanged_ = deviceChanged_ = false;
        lost = deviceLost_;
        device = device_;
    }
    stateSent_ = true;
    if (sendStatus)
        link_.Publish(Topic("status"), lost ? "device-lost" : "online", true);
    if (sendDevice)
        link_.Publish(Topic("device"), device, true);
}

void StationPublisher::FillWindow()
{
    const DroppedRun &dropped = spool_.Dropped();
    if (dropped.count > 0 && announcingMid_ < 0) {
        std::string notice = "{\"kind\":\"spool-dropped\",\"dropped\":" + std::to_string(dropped.count);
        if (dropped.firstSeq > 0)
            notice += ",\"first_seq\":" + std::to_string(dropped.firstSeq) + ",\"last_seq\":" +
                      std::to_string(dropped.lastSeq);
        notice += "}";
        const int mid = link_.Publish(Topic("line"), WithStation(settings_.station, epochMember_, notice), false);
        if (mid >= 0) {
            announcing_ = dropped;
            announcingMid_ = mid;
            inFlight_[mid] = {0, Clock::now()};
        }
    }
    while (inFlight_.size() < Window) {
        std::optional<SpooledMessage> message = spool_.Next();
        if (!message)
            break;
        const int mid = link_.Publish(Topic(message->channel == Channel::Telegram ? "telegram" : "line"),
                                      message->payload, false);
        if (mid < 0) {
            link_.Drop("the client library refused a message");
            return;
        }
        inFlight_[mid] = {message->seq, Clock::now()};
    }
}

void StationPublisher::Run()
{
    Clock::time_point stopBy = Clock::time_point::max();
    for (;;) {
        TakeHandovers();
        if (link_.Connected()) {
            PublishState();
            FillWindow();
            for (const auto &[mid, sent] : inFlight_) {
                if (Clock::now() - sent.sent > AckTimeout) {
                    link_.Drop("no acknowledgement within 30 s");
                    break;
                }
            }
        }
        bool stop;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            idle_ = handovers_.empty() && spool_.Waiting() == 0 && inFlight_.empty();
            if (idle_)
                flushed_.notify_all();
            stop = stopping_;
        }
        if (stop) {
            if (stopBy == Clock::time_point::max())
                stopBy = Clock::now() + StopGrace;
            if (idle_ || !link_.Connected() || Clock::now() >= stopBy)
                break;
        }
        link_.Step(wake_, std::min(stopBy, Clock::now() + std::chrono::seconds(1)));
        wake_.Clear();
    }
    // Handed over after this turn's take: into the spool for the next start.
    TakeHandovers();
    if (link_.Connected()) {
        link_.Publish(Topic("status"), "offline", true);
        link_.Disconnect(wake_, std::chrono::seconds(1));
    }
}

} // namespace publish
