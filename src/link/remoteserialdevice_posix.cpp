// The remote device on Linux: a socket pair stands in for the tty, so the
// port's reads, writes, queue counts and its event thread work on it as on
// a device; the far end belongs to a thread that talks to the server.
#include "remoteserialdevice.h"

#include "httperrors.h"
#include "remoteportname.h"
#include "rfc2217client.h"
#include "serialerror.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Decoded bytes held while the port does not read: beyond this the thread
// stops reading the server, and TCP slows the sender down.
constexpr size_t kMaxHeld = 1 << 16;
constexpr int kSendTimeoutMs = 10000;

std::uint8_t LinesFromModemState(std::uint8_t state)
{
    std::uint8_t lines = 0;
    if (state & 0x10)
        lines |= msCTS;
    if (state & 0x20)
        lines |= msDSR;
    if (state & 0x40)
        lines |= msRing;
    if (state & 0x80)
        lines |= msRLSD;
    return lines;
}

std::string BigEndian32(std::uint32_t value)
{
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

void CloseFd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

struct RemoteSerialDevice::State {
    std::function<void(std::uint8_t)> onModemLines;
    Rfc2217Client client;
    int portEnd = -1;
    int bridgeEnd = -1;
    int wakeFd = -1;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<std::uint8_t> lines{0};

    // Shared with the caller's thread.
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> commands;
    unsigned replies[256] = {};
    std::string lastReply[256];
    bool lost = false;

    // What the server confirmed last, so unchanged settings cost no round trip.
    std::string applied[256];
    std::string appliedControl[3];
    bool controlAnswered = true;
    bool purgeAnswered = true;

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
    // Awaits `count` more replies to `command` than `before`; false on time-out.
    bool AwaitReply(std::unique_lock<std::mutex> &lock, std::uint8_t command, unsigned before, int timeoutMs)
    {
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return lost || replies[command] > before; }) &&
               !lost;
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
            std::deque<std::string> queued;
            {
                std::lock_guard<std::mutex> lock(mutex);
                queued.swap(commands);
            }
            for (const std::string &command : queued)
                client.SendCommand(static_cast<Rfc2217Client::Command>(command[0]), command.substr(1), kSendTimeoutMs);
        } catch (const EHttpException &) {
            failed = true;
            break;
        }
        if (pending || (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (!client.Receive(toPort, kSendTimeoutMs)) {
                failed = true;
            }
            std::lock_guard<std::mutex> lock(mutex);
            for (const std::uint8_t code : {Rfc2217Client::SetBaudRate, Rfc2217Client::SetDataSize,
                                            Rfc2217Client::SetParity, Rfc2217Client::SetStopSize,
                                            Rfc2217Client::SetControl, Rfc2217Client::PurgeData}) {
                const auto command = static_cast<Rfc2217Client::Command>(code);
                if (replies[code] != client.Replies(command)) {
                    replies[code] = client.Replies(command);
                    lastReply[code] = client.LastReply(command);
                    changed.notify_all();
                }
            }
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
    {
        std::lock_guard<std::mutex> lock(mutex);
        lost = true;
        changed.notify_all();
    }
    shutdown(bridgeEnd, SHUT_RDWR);
}

RemoteSerialDevice::RemoteSerialDevice(std::function<void(std::uint8_t lines)> onModemLines)
    : state_(std::make_unique<State>())
{
    state_->onModemLines = std::move(onModemLines);
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
    CloseFd(s.portEnd);
    CloseFd(s.wakeFd);
}

int RemoteSerialDevice::Open(const std::string &name)
{
    State &s = *state_;
    RemotePortName where;
    if (!ParseRemotePortName(name, where))
        throw ESerialPort(SerialError::OpenFailed, -1,
                          name + ": not a remote port name of the form rfc2217://HOST:PORT or rfc2217+tls://HOST:PORT");
    // A write on the port after the server went away must fail with EPIPE,
    // not end the program; programs that handle SIGPIPE themselves keep it.
    struct sigaction current{};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);

    s.client.OnModemState = [&s](std::uint8_t, std::uint8_t now) {
        const std::uint8_t lines = LinesFromModemState(now);
        s.lines.store(lines);
        if (s.onModemLines)
            s.onModemLines(lines);
    };
    s.client.OnLineState = [this](std::uint8_t state) {
        if (OnLineState)
            OnLineState(state);
    };
    s.client.Connect(where, kConnectTimeoutMs);
    s.lines.store(LinesFromModemState(s.client.ModemState()));

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0)
        RaiseSerialError(SerialError::OpenFailed, errno);
    s.portEnd = pair[0];
    s.bridgeEnd = pair[1];
    s.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.wakeFd < 0)
        RaiseSerialError(SerialError::OpenFailed, errno);
    s.thread = std::thread([&s] { s.Run(); });
    return s.portEnd;
}

void RemoteSerialDevice::Configure(int baudRate, TDataBits dataBits, TParityBits parity, TStopBits stopBits, bool dtr,
                                   bool rts)
{
    State &s = *state_;
    using C = Rfc2217Client;
    const char parityCode = parity == prOdd ? 2 : parity == prEven ? 3 : parity == prMark ? 4 : parity == prSpace ? 5 : 1;
    const char stopCode = stopBits == sbTwoStopBits ? 2 : stopBits == sbOne5StopBits ? 3 : 1;
    const std::pair<C::Command, std::string> line[] = {
        {C::SetBaudRate, BigEndian32(static_cast<std::uint32_t>(baudRate))},
        {C::SetDataSize, std::string(1, static_cast<char>(DataBitsValue(dataBits)))},
        {C::SetParity, std::string(1, parityCode)},
        {C::SetStopSize, std::string(1, stopCode)},
    };
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.lost)
        RaiseSerialError(SerialError::SetStateFailed, EPIPE);
    // One at a time, in the order the option recommends; a reply names the
    // value in use, which must be the one asked for.
    for (const auto &[command, value] : line) {
        if (s.applied[command] == value)
            continue;
        const unsigned before = s.replies[command];
        s.commands.push_back(static_cast<char>(command) + value);
        s.Wake();
        if (!s.AwaitReply(lock, command, before, kReplyTimeoutMs))
            throw ESerialPort(SerialError::SetStateFailed, s.lost ? EPIPE : ETIMEDOUT,
                              "the device server did not confirm the line settings");
        if (s.lastReply[command] != value) {
            const std::string &got = s.lastReply[command];
            const std::string shown = command == C::SetBaudRate && got.size() == 4
                ? std::to_string((std::uint32_t(std::uint8_t(got[0])) << 24) | (std::uint32_t(std::uint8_t(got[1])) << 16) |
                                 (std::uint32_t(std::uint8_t(got[2])) << 8) | std::uint8_t(got[3]))
                : std::to_string(got.empty() ? -1 : std::uint8_t(got[0]));
            throw ESerialPort(SerialError::SetStateFailed, -1,
                              "the device server set " + shown + " instead of the value asked for");
        }
        s.applied[command] = value;
    }
    // Flow control off, DTR and RTS at their levels. A server in front of a
    // pty cannot set them and may stay silent: after one unanswered request
    // it is not waited for again.
    const std::string control[] = {std::string(1, 1), std::string(1, dtr ? 8 : 9), std::string(1, rts ? 11 : 12)};
    for (int i = 0; i < 3; ++i) {
        const std::string &value = control[i];
        std::string &appliedSlot = s.appliedControl[i];
        if (appliedSlot == value)
            continue;
        const unsigned before = s.replies[C::SetControl];
        s.commands.push_back(static_cast<char>(C::SetControl) + value);
        s.Wake();
        if (s.controlAnswered && !s.AwaitReply(lock, C::SetControl, before, kControlReplyTimeoutMs)) {
            if (s.lost)
                RaiseSerialError(SerialError::SetStateFailed, EPIPE);
            s.controlAnswered = false;
        }
        appliedSlot = value;
    }
}

void RemoteSerialDevice::Purge() noexcept
{
    State &s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.lost || !s.thread.joinable())
        return;
    // Each direction on its own: not every server takes "both" (3). The
    // replies are awaited, so a close right after still finds the purge
    // sent; a server that stays silent is not waited for again.
    const unsigned before = s.replies[Rfc2217Client::PurgeData];
    for (const char direction : {'\x01', '\x02'})
        s.commands.push_back(std::string(1, static_cast<char>(Rfc2217Client::PurgeData)) + direction);
    s.Wake();
    if (s.purgeAnswered && !s.AwaitReply(lock, Rfc2217Client::PurgeData, before + 1, kControlReplyTimeoutMs))
        s.purgeAnswered = false;
}

std::uint8_t RemoteSerialDevice::ModemLines() const { return state_->lines.load(); }

bool RemoteSerialDevice::Lost() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->lost;
}
