// The remote device on Linux: a socket pair stands in for the tty, so the
// port's reads, writes, queue counts and its event thread work on it as on
// a device; the far end belongs to a thread that talks to the server.
#include "remoteserialdevice.h"

#include "httperrors.h"
#include "remoteportcontrol.h"
#include "rfc2217client.h"
#include "serialerror.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Decoded bytes held while the port does not read: beyond this the thread
// stops reading the server, and TCP slows the sender down.
constexpr size_t kMaxHeld = 1 << 16;
constexpr int kSendTimeoutMs = 10000;

void CloseFd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

struct RemoteSerialDevice::State {
    Rfc2217Client client;
    RemotePortControl control{[this] { Wake(); }, EPIPE, ETIMEDOUT};
    int bridgeEnd = -1;
    int wakeFd = -1;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::function<void(std::uint8_t)> onModemLines;

    void Run();
    void Wake()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
    }
    // Sends what the port wrote, all of it, before any command.
    bool ForwardData()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(bridgeEnd, buffer, sizeof buffer);
            if (n > 0) {
                client.SendData(buffer, static_cast<size_t>(n), kSendTimeoutMs);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            return n < 0 && errno == EAGAIN;
        }
    }
};

void RemoteSerialDevice::State::Run()
{
    std::string toPort;
    bool failed = false;
    while (!stop.load() && !failed) {
        pollfd fds[3] = {{client.NativeHandle(), static_cast<short>(toPort.size() < kMaxHeld ? POLLIN : 0), 0},
                         {bridgeEnd, static_cast<short>(POLLIN | (toPort.empty() ? 0 : POLLOUT)), 0},
                         {wakeFd, POLLIN, 0}};
        const bool pending = toPort.size() < kMaxHeld && client.HasPending();
        if (poll(fds, 3, pending ? 0 : -1) < 0 && errno != EINTR)
            break;
        if (stop.load())
            break;
        if (fds[2].revents & POLLIN) {
            std::uint64_t value;
            [[maybe_unused]] ssize_t n = read(wakeFd, &value, sizeof value);
        }
        try {
            if (!ForwardData())
                break; // the port closed its end
            control.SendQueued(client, kSendTimeoutMs);
        } catch (const EHttpException &) {
            failed = true;
            break;
        }
        if (pending || (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (!client.Receive(toPort, kSendTimeoutMs)) {
                failed = true;
            }
            control.TakeReplies(client);
        }
        while (!toPort.empty()) {
            const ssize_t n = write(bridgeEnd, toPort.data(), toPort.size());
            if (n > 0) {
                toPort.erase(0, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
    }
    // The bytes that came before the end still reach the port, then it sees
    // the hang-up, as of an adapter pulled out.
    if (!toPort.empty()) {
        const int flags = fcntl(bridgeEnd, F_GETFL);
        fcntl(bridgeEnd, F_SETFL, flags & ~O_NONBLOCK);
        pollfd p{bridgeEnd, POLLOUT, 0};
        while (!toPort.empty() && !stop.load() && poll(&p, 1, 1000) > 0) {
            const ssize_t n = send(bridgeEnd, toPort.data(), toPort.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0)
                break;
            toPort.erase(0, static_cast<size_t>(n));
        }
    }
    control.MarkLost();
    shutdown(bridgeEnd, SHUT_RDWR);
}

RemoteSerialDevice::RemoteSerialDevice(std::function<void(std::uint8_t lines)> onModemLines)
    : state_(std::make_unique<State>())
{
    state_->onModemLines = std::move(onModemLines);
    control_ = &state_->control;
}

RemoteSerialDevice::~RemoteSerialDevice()
{
    State &s = *state_;
    s.stop.store(true);
    if (s.thread.joinable()) {
        s.Wake();
        s.thread.join();
    }
    s.client.Close();
    CloseFd(s.bridgeEnd);
    CloseFd(s.wakeFd);
}

int RemoteSerialDevice::Open(const std::string &name)
{
    State &s = *state_;
    // A write on the port after the server went away must fail with EPIPE,
    // not end the program; programs that handle SIGPIPE themselves keep it.
    struct sigaction current{};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);
    s.control.Connect(s.client, name, kConnectTimeoutMs, s.onModemLines, OnLineState);

    s.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.wakeFd < 0)
        RaiseSerialError(SerialError::OpenFailed, errno);
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0)
        RaiseSerialError(SerialError::OpenFailed, errno);
    s.bridgeEnd = pair[1];
    try {
        s.thread = std::thread([&s] { s.Run(); });
    } catch (...) {
        close(pair[0]);
        throw;
    }
    return pair[0];
}

int RemoteSerialDevice::ReadableEvent() const { return -1; }
