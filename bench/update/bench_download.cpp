// Downloads a 200 MB file from nginx on 127.0.0.1 with the client (into a
// discarding stream, with and without work handlers, and into memory) and
// with curl, and prints the client's throughput relative to curl.
#include "childprocess.h"
#include "benchsupport.h"
#include "httpclient.h"
#include "scriptedserver.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>

using benchsupport::BestSeconds;
using benchsupport::RecordBest;
using benchsupport::DiscardStream;

namespace {

constexpr int64_t kFileSize = 200LL * 1024 * 1024;

struct Server {
    TempDir dir;
    std::unique_ptr<ChildProcess> nginx;
    std::string url;

    Server()
    {
        std::ofstream out(dir.Path() + "/big.bin", std::ios::binary);
        const std::string block = PatternBytes(1 << 20);
        for (int64_t written = 0; written < kFileSize; written += static_cast<int64_t>(block.size()))
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        out.close();
        for (int attempt = 0; attempt < 5 && !nginx; ++attempt) {
            const int port = UnusedLoopbackPort();
            const std::string &d = dir.Path();
            std::ofstream conf(d + "/nginx.conf");
            conf << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << d << "/nginx.pid;\n"
                 << "error_log " << d << "/error.log;\nevents { worker_connections 64; }\n"
                 << "http {\n access_log off;\n sendfile on;\n"
                 << " client_body_temp_path " << d << "/t1;\n proxy_temp_path " << d << "/t2;\n"
                 << " fastcgi_temp_path " << d << "/t3;\n uwsgi_temp_path " << d << "/t4;\n"
                 << " scgi_temp_path " << d << "/t5;\n"
                 << " server { listen 127.0.0.1:" << port << "; root " << d << "; }\n}\n";
            conf.close();
            auto child = std::make_unique<ChildProcess>(std::vector<std::string>{
                "/usr/sbin/nginx", "-p", d, "-e", d + "/error.log", "-c", d + "/nginx.conf"});
            if (WaitUntilListening(port, 5000) && child->Running()) {
                nginx = std::move(child);
                url = "http://127.0.0.1:" + std::to_string(port) + "/big.bin";
            }
        }
    }
};

Server &TheServer()
{
    static Server server;
    return server;
}

template <class Body>
void RunTimed(benchmark::State &state, const std::string &name, Body body)
{
    if (!TheServer().nginx) {
        state.SkipWithError("nginx did not start");
        return;
    }
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        body();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        state.SetIterationTime(seconds);
        RecordBest(name, seconds);
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_ClientDiscard(benchmark::State &state)
{
    THttpClient client;
    client.MaxBodyBytes = kFileSize;  // above the default ceiling
    RunTimed(state, "client", [&] {
        DiscardStream sink;
        client.Get(TheServer().url, sink);
        if (sink.Size() != kFileSize)
            std::abort();
    });
}

void BM_ClientDiscardWithWorkEvents(benchmark::State &state)
{
    THttpClient client;
    client.MaxBodyBytes = kFileSize;  // above the default ceiling
    int64_t events = 0;
    int32_t last = 0;
    client.OnWorkBegin = [&](THttpClient *, TWorkMode, int32_t) { ++events; };
    client.OnWork = [&](THttpClient *, TWorkMode, int32_t count) {
        ++events;
        last = count;
    };
    client.OnWorkEnd = [&](THttpClient *, TWorkMode) { ++events; };
    RunTimed(state, "client+events", [&] {
        DiscardStream sink;
        client.Get(TheServer().url, sink);
    });
    benchmark::DoNotOptimize(last);
    state.counters["events"] = static_cast<double>(events) / static_cast<double>(state.iterations());
}

void BM_ClientMemoryStream(benchmark::State &state)
{
    THttpClient client;
    client.MaxBodyBytes = kFileSize;  // above the default ceiling
    RunTimed(state, "client->memory", [&] {
        MemoryStream stream;
        client.Get(TheServer().url, stream);
    });
}

// curl's own transfer time (-w time_total), so its process start is not
// counted against it.
void BM_Curl(benchmark::State &state)
{
    if (!TheServer().nginx) {
        state.SkipWithError("nginx did not start");
        return;
    }
    benchsupport::TimeCurl(state, "", TheServer().url, kFileSize);
}

} // namespace

BENCHMARK(BM_Curl)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_ClientDiscard)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_ClientDiscardWithWorkEvents)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_ClientMemoryStream)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);

int main(int argc, char **argv)
{
    if (!benchsupport::RunBenchmarks(argc, argv))
        return 1;
    const auto curl = BestSeconds().find("curl");
    if (curl != BestSeconds().end()) {
        const double mb = static_cast<double>(kFileSize) / (1024.0 * 1024.0);
        for (const auto &[name, seconds] : BestSeconds())
            std::printf("%-16s best %8.1f MiB/s  %.2fx curl\n", name.c_str(), mb / seconds, curl->second / seconds);
    }
    return 0;
}
