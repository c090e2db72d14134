#include "brokertestsupport.h"

#include <mosquitto.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw std::runtime_error("no free port");
    ::close(fd);
    return ntohs(address.sin_port);
}

MosquittoBroker::MosquittoBroker(const std::string &extra, bool start) : port_(FreePort())
{
    // As root the broker would change to its own user, who cannot write the test's folder.
    dir_.WriteFile("mosquitto.conf", "per_listener_settings true\n"
                                     "listener " + std::to_string(port_) + " 127.0.0.1\n"
                                     "allow_anonymous true\n"
                                     "persistence true\n"
                                     "persistence_location " + dir_.Path() + "/\n"
                                     "log_dest file " + dir_.Path() + "/mosquitto.log\n"
                                     "log_type error\nlog_type warning\nlog_type notice\n" +
                                     (::geteuid() == 0 ? "user root\n" : "") + extra);
    if (start)
        Start();
}

MosquittoBroker::~MosquittoBroker() { Stop(); }

std::string MosquittoBroker::Url(const std::string &prefix, bool tls, int port) const
{
    return std::string(tls ? "mqtts" : "mqtt") + "://127.0.0.1:" + std::to_string(port ? port : port_) + "/" + prefix;
}

void MosquittoBroker::Start()
{
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir_.Path() + "/mosquitto.conf"});
    if (!WaitUntilListening(port_, 10000))
        throw std::runtime_error("mosquitto did not start: " + Log());
}

void MosquittoBroker::Stop() { process_.reset(); }

std::string MosquittoBroker::Log() const
{
    std::ifstream in(dir_.Path() + "/mosquitto.log");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TestSubscriber::TestSubscriber(int port, const std::string &pattern) : pattern_(pattern)
{
    mosquitto_lib_init();
    static int counter = 0;
    const std::string id = "kz-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    client_ = mosquitto_new(id.c_str(), false, this);
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_message_callback_set(client_, OnMessage);
    mosquitto_subscribe_callback_set(client_, [](mosquitto *, void *self, int, int, const int *) {
        auto *subscriber = static_cast<TestSubscriber *>(self);
        std::lock_guard<std::mutex> lock(subscriber->mutex_);
        subscriber->subscribed_ = true;
        subscriber->arrived_.notify_all();
    });
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    mosquitto_max_inflight_messages_set(client_, 0);
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("the test subscriber cannot connect");
    // Messages count from the moment the broker has the subscription.
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, std::chrono::seconds(10), [this] { return subscribed_; }))
        throw std::runtime_error("the test subscriber got no subscription");
}

TestSubscriber::~TestSubscriber()
{
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, true);
    mosquitto_destroy(client_);
}

void TestSubscriber::OnConnect(mosquitto *client, void *self, int rc)
{
    if (rc == 0)
        mosquitto_subscribe(client, nullptr, static_cast<TestSubscriber *>(self)->pattern_.c_str(), 1);
}

void TestSubscriber::OnMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *subscriber = static_cast<TestSubscriber *>(self);
    std::lock_guard<std::mutex> lock(subscriber->mutex_);
    subscriber->messages_.push_back(
        {message->topic, std::string(static_cast<const char *>(message->payload), message->payloadlen), message->retain});
    subscriber->arrived_.notify_all();
}

std::vector<ReceivedMessage> TestSubscriber::Messages()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<ReceivedMessage> TestSubscriber::On(const std::string &topic)
{
    std::vector<ReceivedMessage> found;
    for (ReceivedMessage &message : Messages())
        if (message.topic == topic)
            found.push_back(std::move(message));
    return found;
}

bool TestSubscriber::WaitFor(const std::function<bool(const std::vector<ReceivedMessage> &)> &done,
                             std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return done(messages_); });
}

bool TestSubscriber::WaitForPayload(const std::string &topic, const std::string &payload,
                                    std::chrono::milliseconds timeout)
{
    return WaitFor(
        [&](const std::vector<ReceivedMessage> &messages) {
            for (const ReceivedMessage &m : messages)
                if (m.topic == topic && m.payload == payload)
                    return true;
            return false;
        },
        timeout);
}

void MakeTestCertificates(const std::string &dir)
{
    std::ofstream(dir + "/make-certificates.sh")
        << "set -e\ncd \"$1\"\n"
           "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=kz-test-ca -keyout ca.key -out ca.crt\n"
           "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr\n"
           "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > san.ext\n"
           "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext"
           " -out server.crt\n";
    const std::string command = "sh '" + dir + "/make-certificates.sh' '" + dir + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("openssl could not make the test certificates");
}
