#pragma once

#include "childprocess.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

// A free TCP port on 127.0.0.1 (bound and released: another program may still take it).
int FreePort();

// The Debian mosquitto broker on 127.0.0.1 with a config of the test's own:
// one plain listener, anonymous access, persistence in its folder, log to a file.
class MosquittoBroker {
public:
    // `extra` is appended to the config (more listeners, a bridge, ...).
    explicit MosquittoBroker(const std::string &extra = {}, bool start = true);
    ~MosquittoBroker();
    int Port() const { return port_; }
    std::string Url(const std::string &prefix, bool tls = false, int port = 0) const;
    const std::string &Folder() const { return dir_.Path(); }
    void Start();
    void Stop();
    std::string Log() const;

private:
    TempDir dir_;
    int port_;
    std::unique_ptr<ChildProcess> process_;
};

struct ReceivedMessage {
    std::string topic;
    std::string payload;
    bool retained = false;
};

// A subscriber on libmosquitto's own thread, with a persistent session (QoS 1):
// what arrives while it is away is kept by the broker and comes on reconnect.
class TestSubscriber {
public:
    TestSubscriber(int port, const std::string &pattern);
    ~TestSubscriber();
    std::vector<ReceivedMessage> Messages();
    std::vector<ReceivedMessage> On(const std::string &topic);
    // Waits until `done` holds for the messages so far.
    bool WaitFor(const std::function<bool(const std::vector<ReceivedMessage> &)> &done,
                 std::chrono::milliseconds timeout);
    // Waits for a message on `topic` with this payload.
    bool WaitForPayload(const std::string &topic, const std::string &payload, std::chrono::milliseconds timeout);

private:
    static void OnConnect(mosquitto *, void *self, int rc);
    static void OnMessage(mosquitto *, void *self, const struct mosquitto_message *message);
    mosquitto *client_ = nullptr;
    std::string pattern_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<ReceivedMessage> messages_;
    bool subscribed_ = false;
};

// A CA and a server certificate for 127.0.0.1 signed by it, made with the
// openssl tool: ca.crt, server.crt, server.key in `dir`.
void MakeTestCertificates(const std::string &dir);
