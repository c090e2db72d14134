#pragma once

#include "httpheaderinfo.h"
#include "httpreplyreader.h"
#include "httpurl.h"
#include "streams.h"
#include "transport.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class TWorkMode : int { wmRead = 0, wmWrite = 1 };
enum class HttpProtocolVersion { pv1_0, pv1_1 };

class THttpClient;
using TWorkBeginEvent = std::function<void(THttpClient *Sender, TWorkMode AWorkMode, int32_t AWorkCountMax)>;
using TWorkEvent = std::function<void(THttpClient *Sender, TWorkMode AWorkMode, int32_t AWorkCount)>;
using TWorkEndEvent = std::function<void(THttpClient *Sender, TWorkMode AWorkMode)>;

struct HttpRequestInfo {
    std::string Accept = "text/html, */*";
    std::string UserAgent = "Mozilla/3.0 (compatible; KarvenZop)";
};

// What one request may cost: the largest reply body it accepts and the
// time the whole request (connect, redirects, body) may take.
struct HttpRequestLimits {
    int64_t maxBodyBytes;
    int requestTimeoutMs;  // 0: no bound beyond the time-outs below
};

// A blocking HTTP/1.1 client for GET over plain TCP, or over TLS for an
// https URL (default port 443; never retried without TLS). A request runs on the
// calling thread; progress is reported through the work events. Failures
// are raised (EHttpException and its children, EConvertError), never
// returned. One connection may stay open between requests.
class THttpClient {
public:
    static constexpr size_t kPieceSize = 32768;

    THttpClient();
    ~THttpClient();
    THttpClient(const THttpClient &) = delete;
    THttpClient &operator=(const THttpClient &) = delete;

    // Writes the reply body into the stream at its position. Returns only
    // for a 2xx reply that is not a redirect.
    void Get(const std::string &url, Stream &stream);
    // The reply body as 8-bit text, bytes unchanged.
    std::string Get(const std::string &url);

    HttpProtocolVersion ProtocolVersion = HttpProtocolVersion::pv1_1;
    bool HandleRedirects = false;
    int RedirectMaximum = 15;
    HttpRequestInfo Request;
    // Without these a server that accepts and then stays silent would block
    // the window for ever.
    int ConnectTimeout = 15000;  // milliseconds
    int ReadTimeout = 30000;     // milliseconds of silence while receiving
    // A server that trickles a byte now and then restarts the silence time-out
    // each time; so a request that receives fewer than LowSpeedLimit bytes a
    // second on average over a window of LowSpeedTime seconds (windows follow
    // each other from the request on) fails with the time-out error. Either
    // at 0 switches the check off.
    int LowSpeedLimit = 1024;
    int LowSpeedTime = 10;
    // Callers set what fits the resource; this only guards a caller that
    // forgot.
    int64_t MaxBodyBytes = 64 * 1024 * 1024;
    int RequestTimeout = 0;  // milliseconds for a whole Get; 0: none

    void SetLimits(const HttpRequestLimits &limits)
    {
        MaxBodyBytes = limits.maxBodyBytes;
        RequestTimeout = limits.requestTimeoutMs;
    }

    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;

    int Port() const { return port_; }
    const std::string &Host() const { return host_; }
    int32_t ResponseCode() const { return reply_.ResponseCode(); }
    const std::string &ResponseText() const { return reply_.ResponseText(); }
    const std::string &ResponseVersion() const { return reply_.ResponseVersion(); }
    const THttpHeaderInfo &Response() const { return reply_.Headers(); }
    bool Connected() const { return connection_.Connected(); }
    void Disconnect();

    // Work spans nest per mode: only the outermost begin and end raise the
    // events, and the running total restarts at each outermost begin.
    void BeginWork(TWorkMode mode, int64_t countMax);
    void DoWork(TWorkMode mode, int64_t count);
    void EndWork(TWorkMode mode);

private:
    using Clock = std::chrono::steady_clock;

    struct WorkState {
        int level = 0;
        int64_t count = 0;
    };

    void SettleHostAndPort(const HttpUrl &url);
    void ConnectIfNeeded();
    void SendRequest(const std::string &target);
    void ReadReplyHead();
    void ReadBody(Stream &stream);
    void ReadKnownLength(Stream &stream, int64_t length);
    void ReadChunked(Stream &stream);
    void ReadUntilClose(Stream &stream);
    void CloseIfDone();
    void CheckBodySize(int64_t total) const;
    // Raises the time-out error once the request's deadline has passed or a
    // low-speed window has closed with too few bytes.
    void CheckPace(Clock::time_point now);
    // timeoutMs cut to what is left of the request's time; at least 1.
    int WithinDeadline(int timeoutMs) const;

    // Appends what the socket has to the read buffer; false when it closed.
    bool ReceiveIntoBuffer();
    // Receives at most maxLength bytes into the piece buffer; 0 on close.
    size_t ReceivePiece(size_t maxLength);
    size_t Buffered() const { return readBuffer_.size() - readPos_; }
    const char *BufferedData() const { return readBuffer_.data() + readPos_; }
    void Consume(size_t count);
    template <class Body> void InWorkSpan(int64_t countMax, Body body);

    Transport connection_;
    std::string host_;
    int port_ = 80;
    bool secure_ = false;
    bool closedGracefully_ = false;
    std::string readBuffer_;
    size_t readPos_ = 0;
    std::vector<char> piece_;
    HttpReplyReader reply_;
    WorkState work_[2];
    Clock::time_point deadline_ = Clock::time_point::max();
    Clock::time_point windowStart_;
    int64_t windowBytes_ = 0;
};
