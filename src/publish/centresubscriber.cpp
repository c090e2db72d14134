#include "centresubscriber.h"

#include <chrono>
#include <random>

namespace publish {

namespace {

const char *const Leaves[] = {"telegram", "line", "status", "device"};

} // namespace

CentreSubscriber::CentreSubscriber(LinkSettings link, Handlers handlers)
    : settings_(std::move(link)), handlers_(std::move(handlers))
{
    // Watchers come and go; each needs an id of its own.
    settings_.clientId = "karvenzop-watch-" + std::to_string(std::random_device{}());
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
                        [&](const std::string &topic, const std::string &payload, bool retained) {
                            // PREFIX/STATION/LEAF, as subscribed.
                            if (topic.size() <= prefix.size() + 1 || topic.compare(0, prefix.size(), prefix) != 0)
                                return;
                            const std::string rest = topic.substr(prefix.size() + 1);
                            const size_t slash = rest.find('/');
                            if (slash == std::string::npos || !handlers_.event)
                                return;
                            handlers_.event({rest.substr(0, slash), rest.substr(slash + 1), payload, retained});
                        },
                        handlers_.report, handlers_.refused});
    self = &link;
    while (!stopping_) {
        link.Step(wake_, BrokerLink::Clock::now() + std::chrono::seconds(1));
        wake_.Clear();
    }
    link.Disconnect(wake_, std::chrono::milliseconds(500));
}

} // namespace publish
