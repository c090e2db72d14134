// The centre across broker restarts: two stations (karvenzop-cli monitor on
// a pty each) at 500 telegrams a second, a real mosquitto restarted every
// 10 s, and karvenzop-cli watch --session --json at the centre. Counts what
// the centre showed per station (every seq once?) and samples its memory.
#include "brokertestsupport.h"
#include "childstats.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// The broker keeps all a centre has not taken yet (by default it drops beyond 1000).
const std::string BrokerConfig = "max_queued_messages 10000000\n";

std::string Telegram() { return "1\x1eR\x1e" "2\x1e" "12345678\x1e" "3\x1e" "0\x1e" "1\x1e" "1\x1e" "Text\n\r"; }

struct Process {
    pid_t pid = -1;
    ~Process()
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

struct Shown {
    std::map<uint64_t, int> telegrams;   // seq -> times shown
    std::map<uint64_t, int> numbered;    // telegrams and lines
    uint64_t gaps = 0;
};

std::map<std::string, Shown> ReadWatch(const std::string &path)
{
    std::map<std::string, Shown> shown;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_discarded() || !record.contains("station"))
            continue;
        Shown &station = shown[record["station"].get<std::string>()];
        if (record.value("kind", "") == "gap") {
            ++station.gaps;
            continue;
        }
        const auto &message = record["message"];
        if (!message.is_object() || !message.contains("seq"))
            continue;
        const uint64_t seq = message["seq"];
        ++station.numbered[seq];
        if (record["topic"] == "telegram")
            ++station.telegrams[seq];
    }
    return shown;
}

void BM_CentreSessionAcrossBrokerRestarts(benchmark::State &state)
{
    const int seconds = static_cast<int>(state.range(0));
    const int restartEvery = static_cast<int>(state.range(1));
    MosquittoBroker broker(BrokerConfig);
    TempDir dir;
    // watch keeps its session's stations in the state folder: the bench's own.
    ::setenv("STATE_DIRECTORY", dir.Path().c_str(), 1);
    const std::string out = dir.Path() + "/watch.jsonl";
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Process watch;
    watch.pid = SpawnBenchProgram({"karvenzop-cli", "watch", broker.Url("kz"), "--json", "--session", "bench"}, outFd);
    ::close(outFd);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const char *names[] = {"site1", "site2"};
    int masters[2];
    Process stations[2];
    for (int i = 0; i < 2; ++i) {
        std::string pty;
        masters[i] = OpenBenchPty(pty);
        stations[i].pid = SpawnBenchProgram({"karvenzop-cli", "monitor", "--port", pty, "--publish", broker.Url("kz"),
                                             "--station", names[i], "--spool", dir.Path() + "/spool-" + names[i]},
                                            -1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::string batch;
    for (int i = 0; i < 5; ++i)
        batch += Telegram();
    uint64_t sent = 0;   // per station
    long rssAfter10s = 0, rssPeak = 0;
    int restarts = 0;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        for (int tick = 0; tick < seconds * 100; ++tick) {
            for (const int master : masters)   // 5 every 10 ms: 500 a second each
                if (::write(master, batch.data(), batch.size()) != static_cast<ssize_t>(batch.size()))
                    std::abort();
            sent += 5;
            if (tick % 100 == 99) {
                const long rss = ProcessRssKb(watch.pid);
                rssPeak = std::max(rssPeak, rss);
                if (tick == 999)
                    rssAfter10s = rss;
            }
            if (tick % (restartEvery * 100) == restartEvery * 100 - 1 && tick + 1 < seconds * 100) {
                broker.Stop();
                broker.Start();
                ++restarts;
            }
            std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (tick + 1)));
        }
        // Until both stations' telegrams are all shown, or nothing more comes for 30 s.
        std::map<std::string, Shown> shown;
        auto done = [&] {
            shown = ReadWatch(out);
            for (const char *name : names)
                if (shown[name].telegrams.size() < sent)
                    return false;
            return true;
        };
        for (size_t last = 0, same = 0; !done() && same < 30; std::this_thread::sleep_for(std::chrono::seconds(1))) {
            const size_t now = shown[names[0]].telegrams.size() + shown[names[1]].telegrams.size();
            same = now == last ? same + 1 : 0;
            last = now;
        }
        uint64_t missing = 0, twice = 0, gaps = 0, telegrams = 0;
        for (const char *name : names) {
            const Shown &station = shown[name];
            telegrams += station.telegrams.size();
            gaps += station.gaps;
            const uint64_t highest = station.numbered.empty() ? 0 : station.numbered.rbegin()->first;
            for (uint64_t seq = 1; seq <= highest; ++seq) {
                const auto found = station.numbered.find(seq);
                if (found == station.numbered.end())
                    ++missing;
                else if (found->second > 1)
                    twice += found->second - 1;
            }
        }
        state.counters["sent"] = static_cast<double>(2 * sent);
        state.counters["shown_telegrams"] = static_cast<double>(telegrams);
        state.counters["seq_missing"] = static_cast<double>(missing);
        state.counters["seq_shown_twice"] = static_cast<double>(twice);
        state.counters["gap_lines"] = static_cast<double>(gaps);
    }
    state.counters["broker_restarts"] = restarts;
    state.counters["watch_rss_after_10s_kb"] = static_cast<double>(rssAfter10s);
    state.counters["watch_rss_peak_kb"] = static_cast<double>(rssPeak);
    state.counters["watch_rss_end_kb"] = static_cast<double>(ProcessRssKb(watch.pid));
    for (const int master : masters)
        ::close(master);
}
// 60 s at 2 x 500 telegrams a second, the broker restarted every 10 s.
BENCHMARK(BM_CentreSessionAcrossBrokerRestarts)->Args({60, 10})->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
