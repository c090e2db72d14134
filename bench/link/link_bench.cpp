// Latency from the decoder's CR to the interpreted line on the UI thread,
// and the CPU an idle open port costs.
#include "decoderreader.h"
#include "mainthreadsync.h"
#include "serialport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct TimingSink {
    Clock::time_point interpreted;
    int lines = 0;
    void Hit()
    {
        ++lines;
        interpreted = Clock::now();
    }
};

struct Pty {
    int master = -1;
    std::string slave;
    Pty()
    {
        int s = -1;
        char name[128] = {};
        struct termios raw{};
        cfmakeraw(&raw);
        if (openpty(&master, &s, name, &raw, nullptr) != 0)
            std::abort();
        close(s);
        slave = name;
    }
    ~Pty() { close(master); }
};

void PumpOnce(int timeoutMs)
{
    auto &sync = MainThreadSync::Instance();
    pollfd p{sync.WakeFd(), POLLIN, 0};
    if (poll(&p, 1, timeoutMs) > 0)
        sync.CheckSynchronize();
}

void BM_LineLatency(benchmark::State &state)
{
    Pty pty;
    TimingSink sink;
    decoder::DecoderReader protocol([&sink](const decoder::DecoderLine &) { sink.Hit(); });
    TSerialPort port;
    port.SetPort(pty.slave);
    port.SetBaudRate(br9600);
    port.OnRxChar = [&](TCustomSerialPort &sender, int count) {
        std::string bytes;
        sender.ReadString(bytes, count);
        protocol.AssembleDecoderLines(bytes);
    };
    port.OpenPort();

    const std::string reply = std::string("0\x1e" "C\x1e" "GS\x1e" "0012345") + "\n\r";
    std::vector<double> micros;
    for (auto _ : state) {
        const int before = sink.lines;
        const Clock::time_point sent = Clock::now();
        if (write(pty.master, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size()))
            state.SkipWithError("write to master failed");
        const Clock::time_point limit = sent + std::chrono::seconds(5);
        while (sink.lines == before && Clock::now() < limit)
            PumpOnce(100);
        if (sink.lines == before) {
            state.SkipWithError("line never interpreted");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(sink.interpreted - sent).count());
    }
    port.ClosePort();
    if (micros.empty())
        return;
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    state.counters["max_us"] = micros.back();
}
BENCHMARK(BM_LineLatency)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_IdleOpenPortCpu(benchmark::State &state)
{
    Pty pty;
    TSerialPort port;
    port.SetPort(pty.slave);
    port.OpenPort();
    double percent = 0;
    for (auto _ : state) {
        const double cpuBefore = ProcessCpuSeconds();
        const Clock::time_point start = Clock::now();
        // The UI thread sleeps on the wake descriptor as the event loop would.
        while (Clock::now() - start < std::chrono::seconds(10))
            PumpOnce(1000);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        percent = 100.0 * (ProcessCpuSeconds() - cpuBefore) / wall;
    }
    port.ClosePort();
    state.counters["cpu_percent"] = percent;
}
BENCHMARK(BM_IdleOpenPortCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
