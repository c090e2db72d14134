#include "remoteportcontrol.h"

#include "remoteportname.h"
#include "serialerror.h"

#include <chrono>
#include <utility>

namespace {

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

} // namespace

void RemotePortControl::Connect(Rfc2217Client &client, const std::string &name, int timeoutMs,
                                std::function<void(std::uint8_t)> onModemLines,
                                std::function<void(std::uint8_t)> onLineState)
{
    RemotePortName where;
    if (!ParseRemotePortName(name, where))
        throw ESerialPort(SerialError::OpenFailed, -1,
                          name + ": not a remote port name of the form rfc2217://HOST:PORT or rfc2217+tls://HOST:PORT");
    onModemLines_ = std::move(onModemLines);
    client.OnModemState = [this](std::uint8_t, std::uint8_t now) {
        const std::uint8_t lines = LinesFromModemState(now);
        lines_.store(lines);
        if (onModemLines_)
            onModemLines_(lines);
    };
    client.OnLineState = std::move(onLineState);
    client.Connect(where, timeoutMs);
    lines_.store(LinesFromModemState(client.ModemState()));
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = true;
}

bool RemotePortControl::AwaitReply(std::unique_lock<std::mutex> &lock, std::uint8_t command, unsigned before,
                                   int timeoutMs)
{
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return lost_ || replies_[command] > before; }) &&
           !lost_;
}

void RemotePortControl::Queue(std::uint8_t command, const std::string &value)
{
    commands_.push_back(static_cast<char>(command) + value);
    wake_();
}

void RemotePortControl::Configure(int baudRate, TDataBits dataBits, TParityBits parity, TStopBits stopBits, bool dtr,
                                  bool rts, int replyTimeoutMs, int controlReplyTimeoutMs)
{
    using C = Rfc2217Client;
    const char parityCode = parity == prOdd ? 2 : parity == prEven ? 3 : parity == prMark ? 4 : parity == prSpace ? 5 : 1;
    const char stopCode = stopBits == sbTwoStopBits ? 2 : stopBits == sbOne5StopBits ? 3 : 1;
    const std::pair<C::Command, std::string> line[] = {
        {C::SetBaudRate, BigEndian32(static_cast<std::uint32_t>(baudRate))},
        {C::SetDataSize, std::string(1, static_cast<char>(DataBitsValue(dataBits)))},
        {C::SetParity, std::string(1, parityCode)},
        {C::SetStopSize, std::string(1, stopCode)},
    };
    std::unique_lock<std::mutex> lock(mutex_);
    if (lost_ || !connected_)
        RaiseSerialError(SerialError::SetStateFailed, lostCode_);
    // One at a time, in the order the option recommends; a reply names the
    // value in use, which must be the one asked for.
    for (const auto &[command, value] : line) {
        if (applied_[command] == value)
            continue;
        const unsigned before = replies_[command];
        Queue(command, value);
        if (!AwaitReply(lock, command, before, replyTimeoutMs))
            throw ESerialPort(SerialError::SetStateFailed, lost_ ? lostCode_ : timedOutCode_,
                              "the device server did not confirm the line settings");
        if (lastReply_[command] != value) {
            const std::string &got = lastReply_[command];
            const std::string shown = command == C::SetBaudRate && got.size() == 4
                ? std::to_string((std::uint32_t(std::uint8_t(got[0])) << 24) | (std::uint32_t(std::uint8_t(got[1])) << 16) |
                                 (std::uint32_t(std::uint8_t(got[2])) << 8) | std::uint8_t(got[3]))
                : std::to_string(got.empty() ? -1 : std::uint8_t(got[0]));
            throw ESerialPort(SerialError::SetStateFailed, -1,
                              "the device server set " + shown + " instead of the value asked for");
        }
        applied_[command] = value;
    }
    // Flow control off, DTR and RTS at their levels. A server in front of a
    // pty cannot set them and may stay silent: after one unanswered request
    // it is not waited for again.
    const std::string control[] = {std::string(1, 1), std::string(1, dtr ? 8 : 9), std::string(1, rts ? 11 : 12)};
    for (int i = 0; i < 3; ++i) {
        const std::string &value = control[i];
        std::string &appliedSlot = appliedControl_[i];
        if (appliedSlot == value)
            continue;
        const unsigned before = replies_[C::SetControl];
        Queue(C::SetControl, value);
        if (controlAnswered_ && !AwaitReply(lock, C::SetControl, before, controlReplyTimeoutMs)) {
            if (lost_)
                RaiseSerialError(SerialError::SetStateFailed, lostCode_);
            controlAnswered_ = false;
        }
        appliedSlot = value;
    }
    // The server opened the device when we connected, at its own settings:
    // what it read before ours arrived is dropped, as a port opened now
    // would not have it either.
    if (!purgedAtOpen_) {
        purgedAtOpen_ = true;
        const unsigned before = replies_[C::PurgeData];
        Queue(C::PurgeData, std::string(1, '\x01'));
        if (purgeAnswered_ && !AwaitReply(lock, C::PurgeData, before, controlReplyTimeoutMs)) {
            if (lost_)
                RaiseSerialError(SerialError::SetStateFailed, lostCode_);
            purgeAnswered_ = false;
        }
    }
}

void RemotePortControl::Purge(int replyTimeoutMs) noexcept
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (lost_ || !connected_)
        return;
    // Each direction on its own: not every server takes "both" (3). The
    // replies are awaited, so a close right after still finds the purge
    // sent; a server that stays silent is not waited for again.
    const unsigned before = replies_[Rfc2217Client::PurgeData];
    Queue(Rfc2217Client::PurgeData, std::string(1, '\x01'));
    Queue(Rfc2217Client::PurgeData, std::string(1, '\x02'));
    if (purgeAnswered_ && !AwaitReply(lock, Rfc2217Client::PurgeData, before + 1, replyTimeoutMs))
        purgeAnswered_ = false;
}

bool RemotePortControl::Lost() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
}

void RemotePortControl::SendQueued(Rfc2217Client &client, int timeoutMs)
{
    std::deque<std::string> queued;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queued.swap(commands_);
    }
    for (const std::string &command : queued)
        client.SendCommand(static_cast<Rfc2217Client::Command>(command[0]), command.substr(1), timeoutMs);
}

void RemotePortControl::TakeReplies(const Rfc2217Client &client)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::uint8_t code : {Rfc2217Client::SetBaudRate, Rfc2217Client::SetDataSize, Rfc2217Client::SetParity,
                                    Rfc2217Client::SetStopSize, Rfc2217Client::SetControl, Rfc2217Client::PurgeData}) {
        const auto command = static_cast<Rfc2217Client::Command>(code);
        if (replies_[code] != client.Replies(command)) {
            replies_[code] = client.Replies(command);
            lastReply_[code] = client.LastReply(command);
            changed_.notify_all();
        }
    }
}

void RemotePortControl::MarkLost()
{
    std::lock_guard<std::mutex> lock(mutex_);
    lost_ = true;
    changed_.notify_all();
}
