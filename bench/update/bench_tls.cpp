// Downloads 32 MiB from nginx over TLS on 127.0.0.1 (a certificate from a CA
// made here) with the client and with curl in the same run, and prints the
// client's throughput relative to curl's.
#include "childprocess.h"
#include "benchsupport.h"
#include "httpclient.h"
#include "nginxserver.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

using benchsupport::BestSeconds;
using benchsupport::RecordBest;
using benchsupport::DiscardStream;

namespace {

constexpr int64_t kFileSize = 32LL * 1024 * 1024;

struct Server {
    TempDir dir;
    TestCa ca {dir.Path(), "bench-ca"};
    Nginx nginx {dir, {ca.Issue("localhost", "DNS:localhost,IP:127.0.0.1")}};
    std::string url = nginx.Url("/big.bin");

    Server()
    {
        std::filesystem::create_directories(dir.Path() + "/www");
        std::ofstream out(dir.Path() + "/www/big.bin", std::ios::binary);
        const std::string block = PatternBytes(1 << 20);
        for (int64_t written = 0; written < kFileSize; written += static_cast<int64_t>(block.size()))
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        ::setenv("SSL_CERT_FILE", ca.CaFile().c_str(), 1);
    }
    bool Ready() const { return ca.Made() && nginx.Started(); }
};

Server &TheServer()
{
    static Server server;
    return server;
}

void BM_ClientTls(benchmark::State &state)
{
    if (!TheServer().Ready()) {
        state.SkipWithError("nginx with TLS did not start");
        return;
    }
    THttpClient client;
    for (auto _ : state) {
        // A fresh connection each time, as curl makes one.
        client.Disconnect();
        DiscardStream sink;
        const auto started = std::chrono::steady_clock::now();
        try {
            client.Get(TheServer().url, sink);
        } catch (const std::exception &e) {
            state.SkipWithError(e.what());
            return;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (sink.Size() != kFileSize)
            std::abort();
        state.SetIterationTime(seconds);
        RecordBest("client", seconds);
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

// curl's own transfer time (-w time_total), so its process start is not counted.
void BM_CurlTls(benchmark::State &state)
{
    if (!TheServer().Ready()) {
        state.SkipWithError("nginx with TLS did not start");
        return;
    }
    benchsupport::TimeCurl(state, "--cacert '" + TheServer().ca.CaFile() + "'", TheServer().url, kFileSize);
}

} // namespace

BENCHMARK(BM_CurlTls)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_ClientTls)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);

int main(int argc, char **argv)
{
    if (!benchsupport::RunBenchmarks(argc, argv))
        return 1;
    if (BestSeconds().count("curl") && BestSeconds().count("client")) {
        const double mb = static_cast<double>(kFileSize) / (1024.0 * 1024.0);
        for (const auto &[name, seconds] : BestSeconds())
            std::printf("%-8s best %8.1f MiB/s  %.2fx curl\n", name.c_str(), mb / seconds, BestSeconds()["curl"] / seconds);
    }
    return 0;
}
