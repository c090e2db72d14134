#include "httpclient.h"

#include "convert.h"
#include "httperrors.h"
#include "httpurl.h"
#include "socketerrors.h"
#include "chunkdecoder.h"

#include <algorithm>
#include <limits>

namespace {

// A Content-Length is only a claim: room is made up front for no more than
// this, and the stream grows with the bytes that really arrive.
constexpr int64_t kPresizeLimit = 256 * 1024 * 1024;

int32_t ClampToInt32(int64_t value)
{
    return static_cast<int32_t>(std::clamp<int64_t>(value, 0, std::numeric_limits<int32_t>::max()));
}

std::string TrimBlanks(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Blanks and control bytes in the target would break the request line (or
// start a new header), so they travel percent-encoded.
std::string SafeTarget(const std::string &target)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string safe;
    safe.reserve(target.size());
    for (const char c : target) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f) {
            safe += '%';
            safe += hex[byte >> 4];
            safe += hex[byte & 15];
        } else {
            safe += c;
        }
    }
    return safe;
}

bool IsRedirect(int32_t code, const THttpHeaderInfo &headers)
{
    return (code >= 300 && code < 400 && code != 304) || !headers.Location.empty();
}

// Replies that never carry a body; reading "until close" for them would
// hang on a keep-alive connection.
bool HasNoBody(int32_t code)
{
    return code == 204 || code == 304 || (code >= 100 && code < 200);
}

std::string ResolveLocation(const HttpUrl &base, const std::string &location)
{
    if (location.find("://") != std::string::npos)
        return location;
    std::string origin = (base.Protocol.empty() ? std::string("http") : base.Protocol) + "://" + base.Host;
    if (!base.Port.empty())
        origin += ":" + base.Port;
    if (!location.empty() && (location[0] == '/' || location[0] == '\\'))
        return origin + location;
    return origin + base.Path + location;
}

} // namespace

THttpClient::THttpClient() : piece_(kPieceSize) {}

THttpClient::~THttpClient() = default;

void THttpClient::Disconnect()
{
    connection_.Close();
    closedGracefully_ = false;
    readBuffer_.clear();
    readPos_ = 0;
}

void THttpClient::BeginWork(TWorkMode mode, int64_t countMax)
{
    WorkState &state = work_[static_cast<int>(mode)];
    if (++state.level == 1) {
        state.count = 0;
        if (OnWorkBegin)
            OnWorkBegin(this, mode, ClampToInt32(countMax));
    }
}

void THttpClient::DoWork(TWorkMode mode, int64_t count)
{
    WorkState &state = work_[static_cast<int>(mode)];
    if (state.level == 0)
        return;
    state.count += count;
    if (OnWork)
        OnWork(this, mode, ClampToInt32(state.count));
}

void THttpClient::EndWork(TWorkMode mode)
{
    WorkState &state = work_[static_cast<int>(mode)];
    if (state.level == 0)
        return;
    if (--state.level == 0 && OnWorkEnd)
        OnWorkEnd(this, mode);
}

template <class Body>
void THttpClient::InWorkSpan(int64_t countMax, Body body)
{
    BeginWork(TWorkMode::wmRead, countMax);
    try {
        body();
    } catch (...) {
        // The span closes also on failure; a failing end handler must not
        // hide the error that ended the transfer.
        try {
            EndWork(TWorkMode::wmRead);
        } catch (...) {
        }
        throw;
    }
    EndWork(TWorkMode::wmRead);
}

void THttpClient::Consume(size_t count)
{
    readPos_ += count;
    if (readPos_ == readBuffer_.size()) {
        readBuffer_.clear();
        readPos_ = 0;
    } else if (readPos_ > kPieceSize) {
        readBuffer_.erase(0, readPos_);
        readPos_ = 0;
    }
}

void THttpClient::CheckPace(Clock::time_point now)
{
    if (now >= deadline_)
        throw EHttpSocketError(kWsaETIMEDOUT);
    if (LowSpeedLimit <= 0 || LowSpeedTime <= 0 || now - windowStart_ < std::chrono::seconds(LowSpeedTime))
        return;
    if (windowBytes_ < static_cast<int64_t>(LowSpeedLimit) * LowSpeedTime)
        throw EHttpSocketError(kWsaETIMEDOUT);
    windowStart_ = now;
    windowBytes_ = 0;
}

int THttpClient::WithinDeadline(int timeoutMs) const
{
    if (deadline_ == Clock::time_point::max())
        return timeoutMs;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    if (left <= 0)
        throw EHttpSocketError(kWsaETIMEDOUT);
    if (timeoutMs > 0 && timeoutMs < left)
        return timeoutMs;
    return static_cast<int>(std::min<int64_t>(left, std::numeric_limits<int>::max()));
}

size_t THttpClient::ReceivePiece(size_t maxLength)
{
    const auto never = Clock::time_point::max();
    const Clock::time_point silenceEnd
        = ReadTimeout > 0 ? Clock::now() + std::chrono::milliseconds(ReadTimeout) : never;
    size_t got = 0;
    for (;;) {
        const Clock::time_point now = Clock::now();
        CheckPace(now);
        // Wake for whichever comes first: the silence time-out, the end of
        // the request's time or of the low-speed window.
        Clock::time_point wake = std::min(silenceEnd, deadline_);
        if (LowSpeedLimit > 0 && LowSpeedTime > 0)
            wake = std::min(wake, windowStart_ + std::chrono::seconds(LowSpeedTime));
        int waitMs = 0;
        if (wake != never)
            waitMs = static_cast<int>(std::clamp<int64_t>(
                std::chrono::ceil<std::chrono::milliseconds>(wake - now).count(), 1, std::numeric_limits<int>::max()));
        try {
            got = connection_.Receive(piece_.data(), std::min(maxLength, piece_.size()), waitMs);
            break;
        } catch (const EHttpSocketError &error) {
            if (error.LastError() == kWsaETIMEDOUT && Clock::now() < silenceEnd)
                continue;  // a window or the request's time is up: CheckPace decides
            // A receive on a socket that was shut down counts as a close while
            // received bytes are still waiting to be read.
            if (error.LastError() != kWsaESHUTDOWN || Buffered() == 0)
                throw;
            got = 0;
            break;
        }
    }
    windowBytes_ += static_cast<int64_t>(got);
    if (got == 0)
        closedGracefully_ = true;
    return got;
}

bool THttpClient::ReceiveIntoBuffer()
{
    const size_t got = ReceivePiece(piece_.size());
    if (got == 0)
        return false;
    readBuffer_.append(piece_.data(), got);
    return true;
}

void THttpClient::SettleHostAndPort(const HttpUrl &url)
{
    if (!url.Host.empty()) {
        const bool secure = SameTextIgnoringCase(url.Protocol, "HTTPS");
        const bool explicitPort = !url.Port.empty();
        const int port = explicitPort ? StrToInt(url.Port) : (secure ? 443 : 80);
        if (connection_.Connected()
            && !(explicitPort && port == port_ && secure == secure_ && SameTextIgnoringCase(url.Host, host_)))
            Disconnect();
        host_ = url.Host;
        port_ = port;
        secure_ = secure;
    }
}

void THttpClient::ConnectIfNeeded()
{
    // A kept connection the server has dropped in the meantime (keep-alive
    // expiry) would fail the request; one that holds unread bytes would
    // answer it with a reply sent before it. Either way: a fresh connection.
    if (connection_.Connected() && (closedGracefully_ || Buffered() > 0 || !connection_.IsIdle()))
        Disconnect();
    if (!connection_.Connected()) {
        Disconnect();
        connection_.Connect(host_, port_, WithinDeadline(ConnectTimeout), secure_);
    }
}

void THttpClient::SendRequest(const std::string &target)
{
    std::string header = "GET " + SafeTarget(target) + " HTTP/"
        + (ProtocolVersion == HttpProtocolVersion::pv1_0 ? "1.0" : "1.1") + "\r\n";
    header += "Host: " + host_ + "\r\n";
    if (!Request.Accept.empty())
        header += "Accept: " + Request.Accept + "\r\n";
    if (!Request.UserAgent.empty())
        header += "User-Agent: " + Request.UserAgent + "\r\n";
    header += "\r\n";
    windowStart_ = Clock::now();
    windowBytes_ = 0;
    connection_.SendAll(header.data(), header.size(), WithinDeadline(ReadTimeout));
}

void THttpClient::ReadReplyHead()
{
    reply_.Reset();
    try {
        for (;;) {
            if (Buffered() > 0) {
                Consume(reply_.Feed(BufferedData(), Buffered()));
                if (reply_.Done())
                    return;
            }
            if (!ReceiveIntoBuffer())
                throw EHttpConnClosedGracefully();
        }
    } catch (...) {
        // A reply that cannot be read leaves the connection at an unknown
        // place; the next request must not read on from there.
        Disconnect();
        throw;
    }
}

void THttpClient::ReadBody(Stream &stream)
{
    if (HasNoBody(reply_.ResponseCode()))
        return;
    const THttpHeaderInfo &headers = reply_.Headers();
    if (headers.HasContentLength()) {
        // Refused on the announcement, before a byte of it is read.
        CheckBodySize(headers.ContentLength);
        ReadKnownLength(stream, headers.ContentLength);
    } else if (ContainsTextIgnoringCase(headers.ExtraHeaderValue("Transfer-Encoding"), "chunked")) {
        ReadChunked(stream);
    } else {
        ReadUntilClose(stream);
    }
}

void THttpClient::ReadKnownLength(Stream &stream, int64_t length)
{
    const int64_t start = stream.Position();
    if (length > 0)
        stream.Reserve(start + std::min(length, kPresizeLimit));
    try {
        InWorkSpan(length, [&] {
            int64_t remaining = length;
            const size_t early = static_cast<size_t>(std::min<int64_t>(remaining, static_cast<int64_t>(Buffered())));
            if (early > 0) {
                stream.WriteBuffer(BufferedData(), static_cast<int64_t>(early));
                Consume(early);
                remaining -= static_cast<int64_t>(early);
            }
            while (remaining > 0) {
                const size_t got = ReceivePiece(static_cast<size_t>(std::min<int64_t>(remaining, kPieceSize)));
                if (got > 0)
                    stream.WriteBuffer(piece_.data(), static_cast<int64_t>(got));
                DoWork(TWorkMode::wmRead, static_cast<int64_t>(got));
                if (got == 0)
                    throw EHttpConnClosedGracefully();
                remaining -= static_cast<int64_t>(got);
            }
        });
    } catch (...) {
        // No zero bytes of a size that was only announced stay behind.
        if (stream.Size() > stream.Position())
            stream.SetSize(stream.Position());
        throw;
    }
    if (stream.Size() > stream.Position())
        stream.SetSize(stream.Position());
}

void THttpClient::CheckBodySize(int64_t total) const
{
    if (total > MaxBodyBytes)
        throw EHttpBodyTooLarge(MaxBodyBytes);
}

void THttpClient::ReadChunked(Stream &stream)
{
    const int64_t start = stream.Position();
    // Room for the ceiling up front: growing by doubling would briefly hold
    // two copies of a body near it.
    if (MaxBodyBytes <= kPresizeLimit)
        stream.Reserve(start + MaxBodyBytes);
    ChunkDecoder decoder;
    bool spanOpen = false;
    auto closeSpan = [&] {
        spanOpen = false;
        EndWork(TWorkMode::wmRead);
    };
    // On failure the open chunk's span still ends, without letting a failing
    // end handler hide the original error.
    auto closeSpanQuietly = [&] {
        if (!spanOpen)
            return;
        try {
            closeSpan();
        } catch (...) {
        }
    };
    try {
        while (!decoder.Done()) {
            if (Buffered() == 0) {
                if (decoder.State() == ChunkDecoder::Stage::Data) {
                    const uint64_t want = std::min<uint64_t>(decoder.DataRemaining(), kPieceSize);
                    const size_t got = ReceivePiece(static_cast<size_t>(want));
                    if (got == 0) {
                        DoWork(TWorkMode::wmRead, 0);
                        throw EHttpConnClosedGracefully();
                    }
                    const ChunkDecoder::StepResult step = decoder.Step(piece_.data(), got);
                    stream.WriteBuffer(step.data, static_cast<int64_t>(step.dataLength));
                    DoWork(TWorkMode::wmRead, static_cast<int64_t>(got));
                    if (step.chunkFinished)
                        closeSpan();
                    continue;
                }
                if (!ReceiveIntoBuffer())
                    throw EHttpConnClosedGracefully();
            }
            const ChunkDecoder::StepResult step = decoder.Step(BufferedData(), Buffered());
            if (step.dataLength > 0)
                stream.WriteBuffer(step.data, static_cast<int64_t>(step.dataLength));
            Consume(step.consumed);
            if (step.chunkStarted) {
                // Each chunk's payload is bounded by its size line, so the
                // sizes are all there is to check.
                CheckBodySize(stream.Position() - start + static_cast<int64_t>(decoder.ChunkSize()));
                spanOpen = true;
                BeginWork(TWorkMode::wmRead, static_cast<int64_t>(decoder.ChunkSize()));
            }
            if (step.chunkFinished)
                closeSpan();
        }
    } catch (...) {
        closeSpanQuietly();
        throw;
    }
}

void THttpClient::ReadUntilClose(Stream &stream)
{
    const int64_t start = stream.Position();
    if (MaxBodyBytes <= kPresizeLimit)
        stream.Reserve(start + MaxBodyBytes);
    InWorkSpan(0, [&] {
        if (Buffered() > 0) {
            CheckBodySize(static_cast<int64_t>(Buffered()));
            stream.WriteBuffer(BufferedData(), static_cast<int64_t>(Buffered()));
            Consume(Buffered());
        }
        for (;;) {
            const size_t got = ReceivePiece(kPieceSize);
            CheckBodySize(stream.Position() - start + static_cast<int64_t>(got));
            if (got > 0)
                stream.WriteBuffer(piece_.data(), static_cast<int64_t>(got));
            DoWork(TWorkMode::wmRead, static_cast<int64_t>(got));
            if (got == 0)
                break;
        }
    });
}

void THttpClient::CloseIfDone()
{
    if (ProtocolVersion == HttpProtocolVersion::pv1_0 || reply_.ResponseVersion() == "1.0"
        || SameTextIgnoringCase(TrimBlanks(reply_.Headers().Connection), "close")) {
        Disconnect();
        return;
    }
    if (closedGracefully_)
        return;
    // A server that closes right after the reply is noticed now rather than
    // by the next request; bytes that arrive stay in the read buffer.
    if (connection_.WaitReadable(1)) {
        try {
            ReceiveIntoBuffer();
        } catch (const EHttpSocketError &) {
            closedGracefully_ = true;
        }
    }
}

void THttpClient::Get(const std::string &url, Stream &stream)
{
    const int64_t bodyStart = stream.Position();
    deadline_ = RequestTimeout > 0 ? Clock::now() + std::chrono::milliseconds(RequestTimeout)
                                   : Clock::time_point::max();
    std::string current = url;
    int requests = 0;
    for (;;) {
        const HttpUrl parts = SplitUrl(current);
        SettleHostAndPort(parts);
        ++requests;
        ConnectIfNeeded();
        try {
            SendRequest(parts.Target());
        } catch (...) {
            Disconnect();
            throw;
        }
        ReadReplyHead();
        try {
            ReadBody(stream);
        } catch (...) {
            // A body broken off part-way would be read as the next reply.
            Disconnect();
            throw;
        }

        const int32_t code = reply_.ResponseCode();
        if (!IsRedirect(code, reply_.Headers())) {
            // After 101 the connection speaks another protocol.
            if (code == 101)
                Disconnect();
            if (code < 200 || code > 299)
                throw EHttpProtocolError(code, reply_.ResponseText());
            CloseIfDone();
            return;
        }
        // A redirect chain that runs into the limit is a failure too: the
        // body kept would be the redirect's own page, not the resource.
        if (!HandleRedirects || requests >= RedirectMaximum)
            throw EHttpProtocolError(code, reply_.ResponseText());
        if (ProtocolVersion == HttpProtocolVersion::pv1_0 || reply_.ResponseVersion() == "1.0")
            Disconnect();
        // The next reply's body replaces the redirect's.
        stream.SetPosition(bodyStart);
        stream.SetSize(bodyStart);
        HttpUrl base = parts;
        if (base.Host.empty()) {
            base.Host = host_;
            base.Port = std::to_string(port_);
        }
        current = ResolveLocation(base, reply_.Headers().Location);
    }
}

std::string THttpClient::Get(const std::string &url)
{
    StringStream text;
    Get(url, text);
    return text.DataString();
}
