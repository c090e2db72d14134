#include "centresubscriber.h"

#include <chrono>
#include <random>

namespace publish {

namespace {

const char *const Leaves[] = {"telegram", "line", "status", "device"};

} // namespace

CentreSubscriber::CentreSubscriber(LinkSettings link, Handlers handlers, const std::string &session)
    : settings_(std::move(link)), handlers_(std::move(handlers))
{
    // Watchers come and go; each needs an id of its own, unless it is to
    // take up where the session's last run left off.
    settings_.clientId = session.empty() ? "karvenzop-watch-" + std::to_string(std::random_device{}())
                                         : "karvenzop-watch-" + session;
    settings_.cleanSession = session.empty();
    settings_.will.reset();
    thread_ = std::thread([this] { Run(); });
}

CentreSubscriber::~CentreSubscriber()
{
    stopping_ = true;
    wake_.Raise();
    thread_.join();
}

void CentreSubscriber::Run()
{
    const std::string &prefix = settings_.broker.prefix;
    BrokerLink *self = nullptr;
    BrokerLink link(settings_,
                    BrokerLink::Events{
                        [&] {
                            for (const char *leaf : Leaves)
                                self->Subscribe(prefix + "/+/" + leaf);
                            if (handlers_.connection)
                                handlers_.connection(true);
                        },
                        [&] {
                            if (handlers_.connection)
                                handlers_.connection(false);
                        },
                        nullptr,
                        [&](const std::string &topic, std::string_view payload, bool retained) {
                            // PREFIX/STATION/LEAF, as subscribed.
                            if (topic.size() <= prefix.size() + 1 || topic.compare(0, prefix.size(), prefix) != 0)
                                return;
                            const std::string rest = topic.substr(prefix.size() + 1);
                            const size_t slash = rest.find('/');
                            if (slash == std::string::npos || !handlers_.event)
                                return;
                            const bool shown = payload.size() <= MaxPayload;
                            handlers_.event({rest.substr(0, slash), rest.substr(slash + 1),
                                             shown ? std::string(payload) : std::string(), payload.size(), retained});
                        },
                        handlers_.report, handlers_.refused});
    self = &link;
    while (!stopping_) {
        link.Step(wake_, BrokerLink::Clock::now() + std::chrono::seconds(1));
        wake_.Clear();
    }
    // Only the goodbye: what arrives meanwhile would wait behind a stop.
    link.Disconnect(wake_, std::chrono::milliseconds(100));
}

} // namespace publish
