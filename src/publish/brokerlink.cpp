#include "brokerlink.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace publish {

namespace {

constexpr auto FirstRetry = std::chrono::milliseconds(500);
constexpr auto LongestRetry = std::chrono::milliseconds(8000);
constexpr auto LoginTimeout = std::chrono::seconds(10);
// libmosquitto's keep-alive and retry work wants a call about once a second.
constexpr auto Housekeeping = std::chrono::seconds(1);
// Messages the library keeps on its side of the socket at once.
constexpr int SendWindow = 1000;

std::string LibraryError(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return std::strerror(errno);
    return mosquitto_strerror(rc);
}

void InitialiseLibrary()
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });
}

} // namespace

bool TlsAvailable()
{
    InitialiseLibrary();
    mosquitto *probe = mosquitto_new(nullptr, true, nullptr);
    if (!probe)
        return false;
    // Without TLS the library refuses every TLS option.
    const bool available = mosquitto_int_option(probe, MOSQ_OPT_TLS_USE_OS_CERTS, 0) == MOSQ_ERR_SUCCESS;
    mosquitto_destroy(probe);
    return available;
}

BrokerLink::BrokerLink(LinkSettings settings, Events events)
    : settings_(std::move(settings)), events_(std::move(events)), backoff_(FirstRetry)
{
    InitialiseLibrary();
}

BrokerLink::~BrokerLink() { Close(); }

void BrokerLink::Report(const std::string &text)
{
    if (text == lastReport_)
        return;
    lastReport_ = text;
    troubleReported_ = true;
    if (events_.report)
        events_.report(text);
}

void BrokerLink::Close()
{
    if (client_) {
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
    const bool was = connected_;
    connected_ = false;
    attemptDeadline_ = Clock::time_point::max();
    if (was && events_.lost)
        events_.lost();
}

void BrokerLink::Drop(const std::string &why)
{
    const std::string where = settings_.broker.host + ":" + std::to_string(settings_.broker.port);
    Report("broker " + where + ": " + why + "; trying again");
    Close();
    nextAttempt_ = Clock::now() + backoff_;
    backoff_ = std::min(backoff_ * 2, LongestRetry);
}

void BrokerLink::StartAttempt()
{
    client_ = mosquitto_new(settings_.clientId.c_str(), settings_.cleanSession, this);
    if (!client_) {
        Drop("cannot make a client: " + LibraryError(MOSQ_ERR_ERRNO));
        return;
    }
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_disconnect_callback_set(client_, OnDisconnect);
    mosquitto_publish_callback_set(client_, OnPublish);
    mosquitto_message_callback_set(client_, OnMessage);
    mosquitto_max_inflight_messages_set(client_, SendWindow);
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    int rc = MOSQ_ERR_SUCCESS;
    if (!settings_.credentials.username.empty())
        rc = mosquitto_username_pw_set(client_, settings_.credentials.username.c_str(),
                                       settings_.credentials.password.empty() ? nullptr
                                                                              : settings_.credentials.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && settings_.will)
        rc = mosquitto_will_set(client_, settings_.will->first.c_str(), static_cast<int>(settings_.will->second.size()),
                                settings_.will->second.data(), 1, true);
    if (rc == MOSQ_ERR_SUCCESS && settings_.broker.tls) {
        const TlsFiles &tls = settings_.tls;
        auto orNull = [](const std::string &s) { return s.empty() ? nullptr : s.c_str(); };
        if (tls.caFile.empty())
            rc = mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (rc == MOSQ_ERR_SUCCESS && (!tls.caFile.empty() || !tls.certFile.empty()))
            rc = mosquitto_tls_set(client_, orNull(tls.caFile), tls.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                                   orNull(tls.certFile), orNull(tls.keyFile), nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        Drop("cannot set up the client: " + LibraryError(rc));
        return;
    }
    rc = mosquitto_connect_async(client_, settings_.broker.host.c_str(), settings_.broker.port,
                                 settings_.keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        Drop(LibraryError(rc));
        return;
    }
    attemptDeadline_ = Clock::now() + LoginTimeout;
}

void BrokerLink::Step(const WakeSignal &wake, Clock::time_point until)
{
    auto now = Clock::now();
    if (!client_ && now >= nextAttempt_) {
        StartAttempt();
        now = Clock::now();
    }
    Clock::time_point wakeAt = std::min(until, nextHousekeeping_);
    if (!client_)
        wakeAt = std::min(wakeAt, nextAttempt_);
    else if (!connected_)
        wakeAt = std::min(wakeAt, attemptDeadline_);
    const auto timeout = std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count());
    const int socket = client_ ? mosquitto_socket(client_) : -1;
    const SocketReady ready =
        WaitForSocket(wake, socket, client_ && mosquitto_want_write(client_), static_cast<int>(std::min(timeout, 60000LL)));
    if (!client_)
        return;

    int rc = MOSQ_ERR_SUCCESS;
    if (ready.readable)
        rc = mosquitto_loop_read(client_, 100);
    if (rc == MOSQ_ERR_SUCCESS && client_ && (ready.writable || mosquitto_want_write(client_)))
        rc = mosquitto_loop_write(client_, 100);
    now = Clock::now();
    if (rc == MOSQ_ERR_SUCCESS && now >= nextHousekeeping_) {
        rc = mosquitto_loop_misc(client_);
        nextHousekeeping_ = now + Housekeeping;
    }
    if (failure_) {
        const std::string why = *failure_;
        failure_.reset();
        if (refusedLogin_ && events_.refused)
            events_.refused(why);
        refusedLogin_ = false;
        Drop(why);
    } else if (rc != MOSQ_ERR_SUCCESS) {
        Drop(rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NO_CONN ? std::string("the connection was lost")
                                                                 : LibraryError(rc));
    } else if (!connected_ && now >= attemptDeadline_) {
        Drop("no reply to the login within 10 s");
    }
}

int BrokerLink::Publish(const std::string &topic, const std::string &payload, bool retain)
{
    if (!connected_)
        return -1;
    int mid = 0;
    const int rc = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                     retain);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

bool BrokerLink::Subscribe(const std::string &pattern)
{
    return connected_ && mosquitto_subscribe(client_, nullptr, pattern.c_str(), 1) == MOSQ_ERR_SUCCESS;
}

void BrokerLink::Disconnect(const WakeSignal &wake, std::chrono::milliseconds grace)
{
    if (connected_ && client_) {
        mosquitto_disconnect(client_);
        const auto end = Clock::now() + grace;
        // The goodbye goes out behind what is queued; the broker then closes.
        while (client_ && Clock::now() < end) {
            const SocketReady ready = WaitForSocket(wake, mosquitto_socket(client_), mosquitto_want_write(client_), 50);
            if (ready.writable && mosquitto_loop_write(client_, 100) != MOSQ_ERR_SUCCESS)
                break;
            if (ready.readable && mosquitto_loop_read(client_, 100) != MOSQ_ERR_SUCCESS)
                break;
            if (!mosquitto_want_write(client_) && !ready.readable && !ready.writable)
                break;
        }
    }
    Close();
}

void BrokerLink::OnConnect(mosquitto *, void *self, int rc)
{
    auto *link = static_cast<BrokerLink *>(self);
    if (rc != 0) {
        std::string why = mosquitto_connack_string(rc);
        if (!why.empty() && why.back() == '.')
            why.pop_back();
        link->failure_ = "login refused: " + why;
        link->refusedLogin_ = rc == 4 || rc == 5;
        return;
    }
    link->connected_ = true;
    link->attemptDeadline_ = Clock::time_point::max();
    link->backoff_ = FirstRetry;
    if (link->troubleReported_) {
        link->troubleReported_ = false;
        link->lastReport_.clear();
        if (link->events_.report)
            link->events_.report("broker " + link->settings_.broker.host + ":" +
                                 std::to_string(link->settings_.broker.port) + ": connected");
        link->lastReport_.clear();
        link->troubleReported_ = false;
    }
    if (link->events_.connected)
        link->events_.connected();
}

void BrokerLink::OnDisconnect(mosquitto *, void *self, int rc)
{
    auto *link = static_cast<BrokerLink *>(self);
    if (rc != 0 && !link->failure_)
        link->failure_ = "the connection was lost";
}

void BrokerLink::OnPublish(mosquitto *, void *self, int mid)
{
    auto *link = static_cast<BrokerLink *>(self);
    if (link->events_.acknowledged)
        link->events_.acknowledged(mid);
}

void BrokerLink::OnMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *link = static_cast<BrokerLink *>(self);
    if (link->events_.message && message->topic)
        link->events_.message(message->topic,
                              std::string_view(static_cast<const char *>(message->payload),
                                               static_cast<size_t>(std::max(0, message->payloadlen))),
                              message->retain);
}

} // namespace publish
