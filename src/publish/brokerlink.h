#pragma once

#include "brokeraddress.h"
#include "credentials.h"
#include "socketwait.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct mosquitto;
struct mosquitto_message;

// One MQTT connection through libmosquitto, driven from the caller's thread:
// connects when due, retries with back-off (0.5 s doubling to 8 s, reset
// after a successful login), gives up an attempt that gets no login reply
// within 10 s, and waits on the socket without spinning. Every connection is
// a fresh client, so nothing of a dead connection is sent again behind the
// caller's back.
namespace publish {

// Whether the client library was built with TLS (mqtts://); the Windows
// build's is not.
bool TlsAvailable();

struct LinkSettings {
    BrokerAddress broker;
    std::string clientId;
    Credentials credentials;
    TlsFiles tls;
    // Published by the broker when the connection ends without a goodbye.
    std::optional<std::pair<std::string, std::string>> will;   // topic, payload (retained, QoS 1)
    int keepAliveSeconds = 30;
    // False: the broker keeps the client's subscriptions and QoS 1 messages
    // while it is away (a persistent session under clientId).
    bool cleanSession = true;
};

class BrokerLink {
public:
    using Clock = std::chrono::steady_clock;
    struct Events {
        std::function<void()> connected;
        std::function<void()> lost;
        std::function<void(int mid)> acknowledged;
        // The payload is the library's buffer, valid during the call.
        std::function<void(const std::string &topic, std::string_view payload, bool retained)> message;
        // Connection trouble for a person to read; said once per change.
        std::function<void(const std::string &text)> report;
        // The broker refused the login (bad name or password, not authorised).
        std::function<void(const std::string &text)> refused;
    };

    BrokerLink(LinkSettings settings, Events events);
    ~BrokerLink();
    BrokerLink(const BrokerLink &) = delete;
    BrokerLink &operator=(const BrokerLink &) = delete;

    // Waits until the socket has work, `wake` is raised or `until` comes,
    // then does what is due: connecting, reading, writing, keep-alive.
    void Step(const WakeSignal &wake, Clock::time_point until);
    bool Connected() const { return connected_; }
    // The message id, or -1 when not connected or the library refused it.
    int Publish(const std::string &topic, const std::string &payload, bool retain);
    bool Subscribe(const std::string &pattern);
    // Ends the connection with a goodbye (no last will), after sending what is queued.
    void Disconnect(const WakeSignal &wake, std::chrono::milliseconds grace);
    // Gives up the connection as broken and schedules a new one.
    void Drop(const std::string &why);

private:
    static void OnConnect(mosquitto *, void *self, int rc);
    static void OnDisconnect(mosquitto *, void *self, int rc);
    static void OnPublish(mosquitto *, void *self, int mid);
    static void OnMessage(mosquitto *, void *self, const mosquitto_message *message);

    void StartAttempt();
    void Close();
    void Report(const std::string &text);

    LinkSettings settings_;
    Events events_;
    mosquitto *client_ = nullptr;
    bool connected_ = false;
    std::optional<std::string> failure_;   // set inside callbacks, acted on after them
    bool refusedLogin_ = false;
    Clock::time_point nextAttempt_ = Clock::now();
    Clock::time_point attemptDeadline_ = Clock::time_point::max();
    Clock::time_point nextHousekeeping_ = Clock::now();
    std::chrono::milliseconds backoff_;
    std::string lastReport_;
    bool troubleReported_ = false;
};

} // namespace publish
