// karvenzop-cli monitor --json: latency from the decoder's CR to the whole
// JSON line on a pipe, and the CPU it takes while the line is quiet.
#include "childstats.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// The monitor on a fresh pty, its stdout a pipe we read.
class Monitor {
public:
    Monitor()
    {
        std::string name;
        master = OpenBenchPty(name);
        int out[2];
        if (master < 0 || ::pipe2(out, O_CLOEXEC) != 0)
            std::abort();
        pid = SpawnBenchProgram({"karvenzop-cli", "monitor", "--json", "--port", name}, out[1]);
        if (pid < 0)
            std::abort();
        ::close(out[1]);
        reader = out[0];
    }
    ~Monitor()
    {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        ::close(reader);
        ::close(master);
    }

    void Send(const std::string &line) const
    {
        if (::write(master, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            std::abort();
    }

    // Reads until a whole line came; false after the timeout.
    bool ReadLine(int timeoutMs)
    {
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t nl = pending_.find('\n');
            if (nl != std::string::npos) {
                pending_.erase(0, nl + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            pollfd p{reader, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
                return false;
            char buffer[4096];
            const ssize_t n = ::read(reader, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            pending_.append(buffer, static_cast<size_t>(n));
        }
    }

    // Until the monitor has the port open and answers.
    bool WaitReady()
    {
        for (int i = 0; i < 100; ++i) {
            Send(Telegram());
            if (ReadLine(100)) {
                while (ReadLine(50)) {
                }
                return true;
            }
        }
        return false;
    }

    static std::string Telegram() { return "1\x1eR\x1e" "2\x1e" "12345678\x1e" "3\x1e" "0\x1e" "1\x1e" "1\x1e" "Text\n\r"; }

    int master = -1;
    int reader = -1;
    pid_t pid = -1;

private:
    std::string pending_;
};

void BM_MonitorLineLatency(benchmark::State &state)
{
    Monitor monitor;
    if (!monitor.WaitReady()) {
        state.SkipWithError("monitor did not start");
        return;
    }
    const std::string line = Monitor::Telegram();
    std::vector<double> micros;
    for (auto _ : state) {
        // Everything up to the CR is on the line already; the CR is the moment measured from.
        monitor.Send(line.substr(0, line.size() - 1));
        ::usleep(200);
        const Clock::time_point cr = Clock::now();
        monitor.Send("\r");
        if (!monitor.ReadLine(5000)) {
            state.SkipWithError("no JSON line");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - cr).count());
    }
    ReportLatencies(state, std::move(micros));
}
BENCHMARK(BM_MonitorLineLatency)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_MonitorIdleCpu(benchmark::State &state)
{
    Monitor monitor;
    if (!monitor.WaitReady()) {
        state.SkipWithError("monitor did not start");
        return;
    }
    MeasureIdleCpu(state, monitor.pid);
}
BENCHMARK(BM_MonitorIdleCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
