#pragma once

#include "serialtypes.h"

class RemotePortControl;

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// A serial port on an RFC 2217 device server, seen by the port as a local
// device: Open hands back a handle that reads and writes like the port's
// device, while a thread of its own moves the bytes to and from the server
// and the port's settings go through the COM port control option.
// One file per system beside the shared part; the protocol itself is
// Rfc2217Client, the settings' hand-over RemotePortControl.
class RemoteSerialDevice {
public:
    // Bounds of the network waits, stated once.
    static constexpr int kConnectTimeoutMs = 5000;
    static constexpr int kReplyTimeoutMs = 3000;
    // A server that keeps control lines it cannot set (a pty) unanswered.
    static constexpr int kControlReplyTimeoutMs = 500;

    // onModemLines: from the device's thread, with the modem lines
    // (ModemSignal bits) after a notification changed them.
    explicit RemoteSerialDevice(std::function<void(std::uint8_t lines)> onModemLines);
    ~RemoteSerialDevice();
    RemoteSerialDevice(const RemoteSerialDevice &) = delete;
    RemoteSerialDevice &operator=(const RemoteSerialDevice &) = delete;

    // Connects within kConnectTimeoutMs; raises ESerialPort 1 with the reason.
    // Returns the handle the port uses as its device (a descriptor, on
    // Windows a HANDLE's value: a pipe opened for overlapped I/O). The caller
    // closes it, before destroying the device.
    int Open(const std::string &name);
    // An event (a HANDLE's value) set each time bytes reach the handle and
    // when the link ends: on Windows a pipe cannot be waited on for bytes.
    // -1 where the handle itself can be waited on.
    int ReadableEvent() const;

    // Settings the server has not acknowledged yet are sent and their replies
    // awaited, so no byte leaves at the old rate after this returns. Raises
    // ESerialPort 7 when the server does not confirm the line settings.
    void Configure(int baudRate, TDataBits dataBits, TParityBits parity, TStopBits stopBits, bool dtr, bool rts);
    // Drops what the server holds in both directions, and waits (bounded)
    // until the server confirmed it; failures are ignored.
    void Purge() noexcept;
    // The modem lines of the last notification.
    std::uint8_t ModemLines() const;
    // The link to the server is gone (the handle is hung up too).
    bool Lost() const;

    // Set before Open: from the device's thread, with the bits of each
    // line-state notification (Rfc2217Client::kLine*).
    std::function<void(std::uint8_t state)> OnLineState;

    struct State;

private:
    std::unique_ptr<State> state_;
    // The state's settings part, the same on every system.
    RemotePortControl *control_ = nullptr;
};
