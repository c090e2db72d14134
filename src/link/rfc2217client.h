#pragma once

#include "remoteportname.h"
#include "telnetparser.h"
#include "transport.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The client side of the Telnet COM port control option over one TCP (or
// TLS) connection: option negotiation, the port's commands and the server's
// replies and notifications. It owns no thread; the caller serialises every
// call and decides when to wait on NativeHandle().
class Rfc2217Client {
public:
    // Commands of the option; a server's reply carries the code plus 100.
    enum Command : std::uint8_t {
        SetBaudRate = 1, SetDataSize = 2, SetParity = 3, SetStopSize = 4, SetControl = 5,
        SetLineStateMask = 10, SetModemStateMask = 11, PurgeData = 12
    };
    static constexpr std::uint8_t kNotifyLineState = 6, kNotifyModemState = 7;
    // Line-state bits the client asks to be told of: overrun, parity and
    // framing errors and a break received.
    static constexpr std::uint8_t kLineOverrun = 0x02, kLineParity = 0x04, kLineFraming = 0x08, kLineBreak = 0x10;
    static constexpr int kReplyOffset = 100;

    // Connects and negotiates binary data and the option within timeoutMs.
    // Data is held back until the reply to the first receive purge (the
    // server read it at its own settings), so the caller purges once its
    // line settings are confirmed.
    // Raises ESerialPort 1 with the reason (refused, timed out, TLS refused,
    // no COM port option) under it.
    void Connect(const RemotePortName &name, int timeoutMs);
    void Close();

    // Waits on this handle (readable), then calls Receive. HasPending: bytes
    // already decrypted, which the handle does not show.
    int NativeHandle() const { return transport_.NativeHandle(); }
    bool HasPending() { return transport_.HasPending(); }
    // Reads what arrived (waiting at most timeoutMs; true with nothing when
    // nothing came) and handles it; data bytes are appended to `data`. False
    // when the server closed or the connection failed.
    bool Receive(std::string &data, int timeoutMs);

    // Data, escaped; raises EHttpException when the connection failed.
    void SendData(const char *bytes, size_t length, int timeoutMs);
    void SendCommand(Command command, const std::string &value, int timeoutMs);

    // Replies seen to each command so far (index: command code).
    unsigned Replies(Command command) const { return replies_[command]; }
    // The last reply's value to a command.
    const std::string &LastReply(Command command) const { return lastReply_[command]; }
    // The server's last modem state (RFC 2217 bits: 0x10 CTS, 0x20 DSR,
    // 0x40 RI, 0x80 RLSD); 0 until it sent one.
    std::uint8_t ModemState() const { return modemState_; }

    // Told when a notification changed the modem state (old, new).
    std::function<void(std::uint8_t before, std::uint8_t now)> OnModemState;
    // Told of every line-state notification (its kLine* bits).
    std::function<void(std::uint8_t state)> OnLineState;

    // The wire form of a command, for tests and the fuzz target.
    static std::string CommandBytes(std::uint8_t command, const std::string &value);

    // How long data is held back for the reply to a receive purge.
    static constexpr int kPurgeReplyBoundMs = 500;

private:
    std::string CertificateHint() const;
    void Handle(const TelnetCommand &command, std::string &toSend);
    void SendRaw(const std::string &bytes, int timeoutMs);

    Transport transport_;
    TelnetParser parser_;
    std::vector<TelnetCommand> commands_;
    bool serverDoesOption_ = false;
    bool serverRefusedOption_ = false;
    bool weWill_[256] = {};
    bool heWill_[256] = {};
    unsigned replies_[256] = {};
    std::string lastReply_[256];
    std::uint8_t modemState_ = 0;
    std::string pendingData_;
    // After a receive purge, data up to the server's reply is what the
    // purge dropped: it left the device before, so it is dropped here too.
    bool discarding_ = false;
    bool purgeAnswered_ = true;
    std::chrono::steady_clock::time_point discardUntil_;
};
