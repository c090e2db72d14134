#include "transport.h"

#include "httperrors.h"
#include "socketerrors.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kRecordPiece = 32768;

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0)
        throw EHttpSocketError(kWsaETIMEDOUT);
    return static_cast<int>(std::min<int64_t>(left, 1 << 30));
}

} // namespace

void Transport::Connect(const std::string &host, int port, int timeoutMs, bool secure, const TlsClientIdentity &identity)
{
    Close();
    host_ = host;
    tcp_.Connect(host, port, timeoutMs);
    if (!secure)
        return;
    try {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 1 << 30);
        tls_ = TlsSession::Start(host, identity);
        records_.resize(kRecordPiece);
        for (;;) {
            const bool done = tls_->Handshake();
            Flush(MillisecondsLeft(deadline));
            if (done)
                break;
            if (!PullRecords(MillisecondsLeft(deadline)))
                throw EHttpTlsError(host, "the server closed the connection during the handshake");
        }
    } catch (...) {
        Close();
        throw;
    }
}

void Transport::Close()
{
    tcp_.Close();
    tls_.reset();
    plain_.clear();
    tcpClosed_ = false;
}

void Transport::Flush(int timeoutMs)
{
    const std::string records = tls_->TakeOutgoing();
    if (!records.empty())
        tcp_.SendAll(records.data(), records.size(), timeoutMs);
}

bool Transport::PullRecords(int timeoutMs)
{
    const size_t got = tcp_.Receive(records_.data(), records_.size(), timeoutMs);
    if (got == 0) {
        tcpClosed_ = true;
        return false;
    }
    tls_->PutIncoming(records_.data(), got);
    return true;
}

bool Transport::TakePlain()
{
    const size_t before = plain_.size();
    char piece[16384];
    while (const size_t got = tls_->Read(piece, sizeof piece))
        plain_.append(piece, got);
    return plain_.size() > before;
}

void Transport::SendAll(const char *data, size_t length, int timeoutMs)
{
    if (!tls_) {
        tcp_.SendAll(data, length, timeoutMs);
        return;
    }
    tls_->Write(data, length);
    Flush(timeoutMs);
}

size_t Transport::Receive(char *buffer, size_t maxLength, int timeoutMs)
{
    if (!tls_)
        return tcp_.Receive(buffer, maxLength, timeoutMs);
    const auto deadline = timeoutMs > 0 ? Clock::now() + std::chrono::milliseconds(timeoutMs) : Clock::time_point::max();
    // Decrypted in pieces no larger than the caller's, so the work events
    // and the body ceiling see the same sizes as over plain TCP.
    while (plain_.empty() && !tls_->Closed() && !tcpClosed_) {
        // Straight into the caller's buffer where nothing is held back.
        if (const size_t got = tls_->Read(buffer, maxLength))
            return got;
        // The server's close_notify ends the stream; its TCP close may
        // come much later.
        if (tls_->Closed())
            break;
        Flush(deadline == Clock::time_point::max() ? 0 : MillisecondsLeft(deadline));
        if (!PullRecords(deadline == Clock::time_point::max() ? 0 : MillisecondsLeft(deadline)))
            break;
    }
    // A TCP close without close_notify may be anyone on the path cutting
    // the reply short: not an end.
    if (plain_.empty() && tcpClosed_ && !tls_->Closed()) {
        if (const size_t got = tls_->Read(buffer, maxLength))
            return got;
        if (!tls_->Closed())
            throw EHttpTlsError(host_, "the connection was closed without the TLS session's end (close_notify): "
                                       "the reply may be cut short");
    }
    const size_t count = std::min(maxLength, plain_.size());
    std::memcpy(buffer, plain_.data(), count);
    plain_.erase(0, count);
    return count;
}

bool Transport::WaitReadable(int timeoutMs)
{
    if (!tls_)
        return tcp_.WaitReadable(timeoutMs);
    if (!plain_.empty() || tls_->Closed() || tcpClosed_)
        return true;
    // Records that carry no data (session tickets) do not count.
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (!tcp_.WaitReadable(static_cast<int>(std::max<int64_t>(left, 0))))
            return false;
        if (!PullRecords(1) || TakePlain() || tls_->Closed())
            return true;
        if (left <= 0)
            return false;
    }
}

bool Transport::IsIdle()
{
    if (!tls_)
        return tcp_.IsIdle();
    try {
        return !WaitReadable(0);
    } catch (const EHttpException &) {
        return false;
    }
}

bool Transport::HasPending()
{
    return tls_ && (!plain_.empty() || TakePlain());
}
