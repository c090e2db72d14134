// What a hostile or broken update server costs: peak memory against a reply
// that announces 10 GiB and against an endless chunked body, and the time
// until a trickling server is given up. A safety cap in the work handler
// stops a run that would otherwise go on without bound; "capped" = 1 shows
// that the client itself did not stop.
#include "httpclient.h"
#include "httperrors.h"
#include "scriptedserver.h"
#include "updateserver.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct SafetyCap {};

// Peak resident set size of this process in KiB since the last reset.
long PeakRssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

void ResetPeakRss()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

ScriptedServer::Script Endless(std::string head, std::string block)
{
    return [head, block](ScriptedPeer &peer) {
        peer.ReadRequest();
        if (!peer.Send(head))
            return;
        while (peer.Send(block)) {
        }
    };
}

struct FetchResult {
    double seconds = 0;
    bool capped = false;
    long peakKiB = 0;
};

// A memory stream that stops the run once the safety cap is reached, so a
// client without limits cannot take the machine down with it.
class CappedStream : public MemoryStream {
public:
    CappedStream(Clock::time_point started, double capSeconds, int64_t capBytes)
        : started_(started), capSeconds_(capSeconds), capBytes_(capBytes) {}
    int64_t Write(const void *buffer, int64_t count) override
    {
        if (Size() + count > capBytes_ || Clock::now() - started_ > std::chrono::duration<double>(capSeconds_))
            throw SafetyCap();
        return MemoryStream::Write(buffer, count);
    }

private:
    Clock::time_point started_;
    double capSeconds_;
    int64_t capBytes_;
};

FetchResult Fetch(THttpClient &client, const std::string &url, double capSeconds, int64_t capBytes)
{
    FetchResult run;
    const auto started = Clock::now();
    ResetPeakRss();
    try {
        CappedStream stream(started, capSeconds, capBytes);
        client.Get(url, stream);
    } catch (const SafetyCap &) {
        run.capped = true;
    } catch (const EHttpException &) {
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    run.peakKiB = PeakRssKiB();
    client.Disconnect();
    return run;
}

void Report(benchmark::State &state, const FetchResult &run)
{
    state.SetIterationTime(run.seconds);
    state.counters["peak_rss_MiB"] = static_cast<double>(run.peakKiB) / 1024.0;
    state.counters["seconds"] = run.seconds;
    state.counters["capped"] = run.capped ? 1 : 0;
}

void BM_AnnouncedTenGiB(benchmark::State &state)
{
    for (auto _ : state) {
        ScriptedServer server({Endless("HTTP/1.1 200 OK\r\nContent-Length: 10737418240\r\n\r\n",
                                        std::string(65536, 'x'))});
        THttpClient client;
        client.SetLimits(kVersionReplyLimits);
        Report(state, Fetch(client, server.Url("/firmware.php?id=karvenzop"), 3.0, 400 << 20));
    }
}

void BM_EndlessChunked(benchmark::State &state)
{
    for (auto _ : state) {
        ScriptedServer server({Endless("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
                                        "8000\r\n" + std::string(32768, 'y') + "\r\n")});
        THttpClient client;
        client.SetLimits(kToolDownloadLimits);
        Report(state, Fetch(client, server.Url("/ZOP-Update.exe"), 3.0, 400 << 20));
    }
}

// One body byte every two seconds: each byte restarts a silence time-out.
void BM_TrickleUntilAbort(benchmark::State &state)
{
    for (auto _ : state) {
        OneShotSignal done;
        ScriptedServer server({[&](ScriptedPeer &peer) {
            peer.ReadRequest();
            peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
            while (!done.Wait(2000) && peer.Send("v")) {
            }
        }});
        THttpClient client;
        client.SetLimits(kVersionReplyLimits);
        Report(state, Fetch(client, server.Url("/firmware.php?id=karvenfir"), 45.0, 1 << 30));
        done.Raise();
    }
}

} // namespace

BENCHMARK(BM_AnnouncedTenGiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_EndlessChunked)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_TrickleUntilAbort)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
