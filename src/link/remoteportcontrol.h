#pragma once

#include "rfc2217client.h"
#include "serialtypes.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

// The part of a remote device that is the same on every system: the
// connection with its modem-line hook, and the port's settings handed from
// the caller's thread to the device's thread, which alone talks to the
// server, with the server's replies awaited on the caller's side.
class RemotePortControl {
public:
    // wake: makes the device's thread look at its queue (any thread).
    // lostCode, timedOutCode: the system's error numbers raised for a link
    // that is gone and for a reply that did not come.
    RemotePortControl(std::function<void()> wake, int lostCode, int timedOutCode)
        : wake_(std::move(wake)), lostCode_(lostCode), timedOutCode_(timedOutCode)
    {
    }

    // Caller's thread, before the device's thread runs. Raises ESerialPort 1
    // with the reason. onModemLines is told (on the device's thread) the
    // lines (ModemSignal bits) after a notification changed them,
    // onLineState the bits of each line-state notification.
    void Connect(Rfc2217Client &client, const std::string &name, int timeoutMs,
                 std::function<void(std::uint8_t)> onModemLines, std::function<void(std::uint8_t)> onLineState = {});

    // See RemoteSerialDevice::Configure and Purge.
    void Configure(int baudRate, TDataBits dataBits, TParityBits parity, TStopBits stopBits, bool dtr, bool rts,
                   int replyTimeoutMs, int controlReplyTimeoutMs);
    void Purge(int replyTimeoutMs) noexcept;
    std::uint8_t ModemLines() const { return lines_.load(); }
    bool Lost() const;

    // Device's thread: sends what was queued (raises EHttpException when the
    // connection failed), takes the replies that came with the last Receive,
    // and ends the waits once the link is gone.
    void SendQueued(Rfc2217Client &client, int timeoutMs);
    void TakeReplies(const Rfc2217Client &client);
    void MarkLost();

private:
    // Awaits more replies to `command` than `before`; false on time-out.
    bool AwaitReply(std::unique_lock<std::mutex> &lock, std::uint8_t command, unsigned before, int timeoutMs);
    void Queue(std::uint8_t command, const std::string &value);

    std::function<void()> wake_;
    int lostCode_;
    int timedOutCode_;
    std::function<void(std::uint8_t)> onModemLines_;
    std::atomic<std::uint8_t> lines_{0};

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> commands_;
    unsigned replies_[256] = {};
    std::string lastReply_[256];
    bool connected_ = false;
    bool lost_ = false;

    // What the server confirmed last, so unchanged settings cost no round trip.
    std::string applied_[256];
    std::string appliedControl_[3];
    bool controlAnswered_ = true;
    bool purgeAnswered_ = true;
    bool purgedAtOpen_ = false;
};
