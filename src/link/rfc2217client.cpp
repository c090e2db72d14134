#include "rfc2217client.h"

#include "httperrors.h"
#include "serialerror.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

using namespace telnet;

namespace {

using Clock = std::chrono::steady_clock;

std::string Verb(std::uint8_t verb, std::uint8_t option)
{
    return {static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

bool IsReceivePurgeReply(const TelnetCommand &command)
{
    const std::string &p = command.payload;
    return command.verb == kSb && command.option == kComPortOption && p.size() == 2 &&
           static_cast<std::uint8_t>(p[0]) == Rfc2217Client::PurgeData + Rfc2217Client::kReplyOffset &&
           (p[1] == 1 || p[1] == 3);
}

// Options we take in both directions; everything else is refused.
bool WeSupport(std::uint8_t option) { return option == kBinary || option == kSuppressGoAhead; }

[[noreturn]] void RaiseConnectError(const RemotePortName &name, std::string why)
{
    // The socket layer's texts come in two lines; one reads better after the name.
    for (size_t at; (at = why.find("\r\n")) != std::string::npos;)
        why.replace(at, 2, ": ");
    throw ESerialPort(SerialError::OpenFailed, -1,
                      (name.tls ? "rfc2217+tls://" : "rfc2217://") + name.host + ":" + std::to_string(name.port) +
                          ": " + why);
}

// The certificate the tool shows a device server that asks for one.
TlsClientIdentity ClientIdentity()
{
    TlsClientIdentity identity;
    if (const char *certificate = std::getenv("KARVENZOP_CLIENT_CERT"))
        identity.certificateFile = certificate;
    if (const char *key = std::getenv("KARVENZOP_CLIENT_KEY"); key && !identity.certificateFile.empty())
        identity.keyFile = key;
    return identity;
}

} // namespace

std::string Rfc2217Client::CommandBytes(std::uint8_t command, const std::string &value)
{
    return TelnetSubnegotiation(kComPortOption, std::string(1, static_cast<char>(command)) + value);
}

void Rfc2217Client::Connect(const RemotePortName &name, int timeoutMs)
{
    Close();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto left = [&] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(ms > 1 ? ms : 1);
    };
    try {
        transport_.Connect(name.host, name.port, timeoutMs, name.tls, name.tls ? ClientIdentity() : TlsClientIdentity{});
        // Binary both ways, or a server in the network virtual terminal's
        // mode turns CR into CR NUL and the frames of the bootloader break.
        std::string offer = Verb(kWill, kBinary) + Verb(kDo, kBinary) + Verb(kWill, kSuppressGoAhead) +
                            Verb(kDo, kSuppressGoAhead) + Verb(kWill, kComPortOption);
        weWill_[kBinary] = weWill_[kSuppressGoAhead] = weWill_[kComPortOption] = true;
        heWill_[kBinary] = heWill_[kSuppressGoAhead] = true;
        SendRaw(offer, left());
        std::string early;
        while (!serverDoesOption_) {
            if (serverRefusedOption_)
                RaiseConnectError(name, "the server does not offer the COM port control option (RFC 2217)");
            if (Clock::now() >= deadline)
                RaiseConnectError(name, "no answer to the COM port control option within " +
                                            std::to_string(timeoutMs) + " ms");
            if (!Receive(early, left()))
                RaiseConnectError(name, "the server closed the connection" + CertificateHint());
        }
        // Data that came before the option: a decoder talking already, at
        // the server's settings, not yet ours. Like all data until the
        // first receive purge is answered, it is dropped.
        pendingData_ = early;
        discarding_ = true;
        discardUntil_ = Clock::time_point::max();
        // Every modem line change, for the lamps.
        SendCommand(SetModemStateMask, std::string(1, '\xff'), left());
        // Line errors and breaks, reported as a local port's are.
        const auto lineEvents = static_cast<char>(kLineOverrun | kLineParity | kLineFraming | kLineBreak);
        SendCommand(SetLineStateMask, std::string(1, lineEvents), left());
    } catch (const EHttpException &e) {
        const std::string hint = CertificateHint();
        Close();
        RaiseConnectError(name, e.Message() + hint);
    } catch (...) {
        Close();
        throw;
    }
}

std::string Rfc2217Client::CertificateHint() const
{
    // A server that wants a certificate we do not show just hangs up.
    return transport_.ClientCertificateAsked()
               ? " (it asked for a client certificate, and KARVENZOP_CLIENT_CERT names none)"
               : std::string();
}

void Rfc2217Client::Close()
{
    transport_.Close();
    parser_ = TelnetParser();
    serverDoesOption_ = serverRefusedOption_ = false;
    std::fill(std::begin(weWill_), std::end(weWill_), false);
    std::fill(std::begin(heWill_), std::end(heWill_), false);
    std::fill(std::begin(replies_), std::end(replies_), 0u);
    for (std::string &reply : lastReply_)
        reply.clear();
    modemState_ = 0;
    pendingData_.clear();
}

bool Rfc2217Client::Receive(std::string &data, int timeoutMs)
{
    if (!pendingData_.empty()) {
        if (!discarding_)
            data += pendingData_;
        pendingData_.clear();
        return true;
    }
    char buffer[16384];
    size_t got = 0;
    try {
        // A TLS record without data (a session ticket) makes the socket
        // readable too; only a wait that found data or the end goes on.
        if (!transport_.HasPending() && !transport_.WaitReadable(std::max(timeoutMs, 1)))
            return true;
        got = transport_.Receive(buffer, sizeof buffer, std::max(timeoutMs, 1));
    } catch (const EHttpException &) {
        return false;
    }
    if (got == 0)
        return false;
    commands_.clear();
    const size_t start = data.size();
    parser_.Feed(buffer, got, data, commands_);
    std::string answer;
    for (const TelnetCommand &command : commands_) {
        if (discarding_ && IsReceivePurgeReply(command)) {
            data.erase(start, command.dataBefore - start);
            discarding_ = false;
        }
        Handle(command, answer);
    }
    if (discarding_) {
        if (Clock::now() < discardUntil_) {
            data.resize(start);
        } else {
            // A server that does not answer purges: nothing more is held back.
            discarding_ = false;
            purgeAnswered_ = false;
        }
    }
    if (!answer.empty()) {
        try {
            SendRaw(answer, 5000);
        } catch (const EHttpException &) {
            return false;
        }
    }
    return true;
}

void Rfc2217Client::Handle(const TelnetCommand &command, std::string &toSend)
{
    const std::uint8_t option = command.option;
    switch (command.verb) {
    case kDo:
        if (option == kComPortOption)
            serverDoesOption_ = true;
        // Answer only a change, so two peers never loop on a request.
        if (!weWill_[option] && (WeSupport(option) || option == kComPortOption)) {
            weWill_[option] = true;
            toSend += Verb(kWill, option);
        } else if (!weWill_[option]) {
            toSend += Verb(kWont, option);
        }
        break;
    case kDont:
        if (option == kComPortOption)
            serverRefusedOption_ = true;
        if (weWill_[option]) {
            weWill_[option] = false;
            toSend += Verb(kWont, option);
        }
        break;
    case kWill:
        if (!heWill_[option] && WeSupport(option)) {
            heWill_[option] = true;
            toSend += Verb(kDo, option);
        } else if (!heWill_[option]) {
            toSend += Verb(kDont, option);
        }
        break;
    case kWont:
        if (heWill_[option]) {
            heWill_[option] = false;
            toSend += Verb(kDont, option);
        }
        break;
    case kSb: {
        if (option != kComPortOption || command.payload.empty())
            break;
        const auto code = static_cast<std::uint8_t>(command.payload[0]);
        if (code < kReplyOffset)
            break; // the server's own requests (signature) need no answer here
        const std::uint8_t replyTo = static_cast<std::uint8_t>(code - kReplyOffset);
        const std::string value = command.payload.substr(1);
        if (replyTo == kNotifyModemState && !value.empty()) {
            const std::uint8_t before = modemState_;
            modemState_ = static_cast<std::uint8_t>(value[0]);
            if (OnModemState && (before & 0xF0) != (modemState_ & 0xF0))
                OnModemState(before, modemState_);
        } else if (replyTo == kNotifyLineState && !value.empty()) {
            if (OnLineState)
                OnLineState(static_cast<std::uint8_t>(value[0]));
        } else {
            ++replies_[replyTo];
            lastReply_[replyTo] = value;
        }
        break;
    }
    default:
        break;
    }
}

void Rfc2217Client::SendRaw(const std::string &bytes, int timeoutMs)
{
    transport_.SendAll(bytes.data(), bytes.size(), timeoutMs);
}

void Rfc2217Client::SendData(const char *bytes, size_t length, int timeoutMs)
{
    SendRaw(TelnetEscape(bytes, length), timeoutMs);
}

void Rfc2217Client::SendCommand(Command command, const std::string &value, int timeoutMs)
{
    SendRaw(CommandBytes(command, value), timeoutMs);
    if (command == PurgeData && (value == "\x01" || value == "\x03") && purgeAnswered_) {
        discarding_ = true;
        discardUntil_ = Clock::now() + std::chrono::milliseconds(kPurgeReplyBoundMs);
    }
}
