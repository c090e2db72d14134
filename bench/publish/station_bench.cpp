// A station publishing to a real mosquitto on 127.0.0.1: karvenzop-cli
// monitor --publish on a pty, a subscriber on libmosquitto, and the spool
// drained by the publisher library after an outage.
#include "brokertestsupport.h"
#include "childstats.h"
#include "stationpublisher.h"

#include <benchmark/benchmark.h>
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// The broker keeps whatever a slow subscriber has not taken yet (by default
// it drops beyond 1000), so the count shows the station's losses only.
const std::string BenchBrokerConfig = "max_queued_messages 10000000\n";

std::string Telegram() { return "1\x1eR\x1e" "2\x1e" "12345678\x1e" "3\x1e" "0\x1e" "1\x1e" "1\x1e" "Text\n\r"; }

// Counts what arrives on the telegram topics and stamps the latest arrival.
class CountingSubscriber {
public:
    explicit CountingSubscriber(int port)
    {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(client_, [](mosquitto *, void *self, const mosquitto_message *) {
            auto *s = static_cast<CountingSubscriber *>(self);
            s->lastArrival = Clock::now().time_since_epoch().count();
            ++s->count;
        });
        mosquitto_subscribe_callback_set(client_, [](mosquitto *, void *self, int, int, const int *) {
            static_cast<CountingSubscriber *>(self)->subscribed = true;
        });
        mosquitto_connect_callback_set(client_, [](mosquitto *client, void *, int rc) {
            if (rc == 0)
                mosquitto_subscribe(client, nullptr, "kz/+/telegram", 1);
        });
        mosquitto_connect(client_, "127.0.0.1", port, 30);
        mosquitto_loop_start(client_);
        while (!subscribed)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~CountingSubscriber()
    {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, true);
        mosquitto_destroy(client_);
    }
    bool WaitForCount(uint64_t n, std::chrono::milliseconds timeout) const
    {
        const auto end = Clock::now() + timeout;
        while (count < n) {
            if (Clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        return true;
    }
    std::atomic<uint64_t> count{0};
    std::atomic<Clock::rep> lastArrival{0};
    std::atomic<bool> subscribed{false};

private:
    mosquitto *client_ = nullptr;
};

// karvenzop-cli monitor --publish on a fresh pty; its terminal output goes nowhere.
class Station {
public:
    Station(const MosquittoBroker &broker, const std::string &spool)
    {
        std::string name;
        master = OpenBenchPty(name);
        pid = SpawnBenchProgram({"karvenzop-cli", "monitor", "--port", name, "--publish", broker.Url("kz"),
                                 "--station", "bench", "--spool", spool},
                                -1);
        if (master < 0 || pid < 0)
            std::abort();
    }
    ~Station()
    {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        ::close(master);
    }
    void Send(const std::string &bytes) const
    {
        if (::write(master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            std::abort();
    }
    // Until a telegram comes through to the subscriber.
    bool WaitReady(CountingSubscriber &subscriber) const
    {
        for (int i = 0; i < 100; ++i) {
            const uint64_t before = subscriber.count;
            Send(Telegram());
            if (subscriber.WaitForCount(before + 1, std::chrono::milliseconds(100)))
                return true;
        }
        return false;
    }
    int master = -1;
    pid_t pid = -1;
};

// A broker, a subscriber and a station that has delivered its first telegram.
struct Rig {
    MosquittoBroker broker{BenchBrokerConfig};
    TempDir dir;
    CountingSubscriber subscriber{broker.Port()};
    Station station{broker, dir.Path() + "/spool"};
    bool ready = station.WaitReady(subscriber);

    bool Ready(benchmark::State &state) const
    {
        if (!ready)
            state.SkipWithError("the station did not come up");
        return ready;
    }
};

void BM_CrToSubscriber(benchmark::State &state)
{
    Rig rig;
    if (!rig.Ready(state))
        return;
    auto [subscriber, station] = std::tie(rig.subscriber, rig.station);
    const std::string line = Telegram();
    std::vector<double> micros;
    for (auto _ : state) {
        const uint64_t before = subscriber.count;
        station.Send(line.substr(0, line.size() - 1));
        ::usleep(200);
        const Clock::time_point cr = Clock::now();
        station.Send("\r");
        if (!subscriber.WaitForCount(before + 1, std::chrono::seconds(5))) {
            state.SkipWithError("no message at the subscriber");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(
                             Clock::time_point(Clock::duration(subscriber.lastArrival.load())) - cr)
                             .count());
    }
    ReportLatencies(state, std::move(micros));
}
BENCHMARK(BM_CrToSubscriber)->Iterations(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// 5,000 telegrams a second for the given seconds: the monitor's memory after
// the first 10 s and at the end, and what reached the subscriber.
void BM_Sustained5000PerSecond(benchmark::State &state)
{
    const int seconds = static_cast<int>(state.range(0));
    Rig rig;
    if (!rig.Ready(state))
        return;
    auto [subscriber, station] = std::tie(rig.subscriber, rig.station);
    uint64_t sent = 0;
    long rssEarly = 0;
    long rssPeak = 0;
    for (auto _ : state) {
        const uint64_t before = subscriber.count;
        std::string batch;
        for (int i = 0; i < 50; ++i)
            batch += Telegram();
        const Clock::time_point start = Clock::now();
        for (int tick = 0; tick < seconds * 100; ++tick) {
            station.Send(batch);   // 50 every 10 ms
            sent += 50;
            std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (tick + 1)));
            if (tick == 1000)
                rssEarly = ProcessRssKb(station.pid);
            if (tick == 3000)
                state.counters["rss_after_30s_kb"] = static_cast<double>(ProcessRssKb(station.pid));
            if (tick % 100 == 0)
                rssPeak = std::max(rssPeak, ProcessRssKb(station.pid));
        }
        subscriber.WaitForCount(before + sent, std::chrono::seconds(30));
        state.counters["delivered"] = static_cast<double>(subscriber.count - before);
    }
    state.counters["sent"] = static_cast<double>(sent);
    state.counters["rss_after_10s_kb"] = static_cast<double>(rssEarly);
    state.counters["rss_peak_kb"] = static_cast<double>(rssPeak);
    state.counters["rss_end_kb"] = static_cast<double>(ProcessRssKb(station.pid));
}
BENCHMARK(BM_Sustained5000PerSecond)->Arg(60)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// 100,000 telegrams spooled while the broker was away, then delivered.
void BM_SpoolDrainAfterOutage(benchmark::State &state)
{
    const uint64_t messages = static_cast<uint64_t>(state.range(0));
    MosquittoBroker broker(BenchBrokerConfig, false);
    TempDir dir;
    publish::StationSettings settings;
    settings.link.broker = publish::ParseBrokerAddress(broker.Url("kz"));
    settings.station = "bench";
    settings.spoolDir = dir.Path() + "/spool";
    {
        publish::StationPublisher away(settings, nullptr);
        const std::string object = "{\"kind\":\"telegram\",\"identifier\":\"12345678\",\"log\":\"R1: 12345678 S:3 "
                                   "TKI:0 BS:1 FZ->LS T: Text\",\"raw\":\"1\\u001eR\\u001e2\\u001e12345678\"}";
        // Handed over at a pace the spool's disk keeps up with (the hand-over
        // queue is bounded); a decoder line delivers far fewer.
        for (uint64_t i = 0; i < messages; ++i) {
            away.Telegram(object);
            if (i % 5000 == 4999)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }   // stopped with everything in the spool
    broker.Start();
    CountingSubscriber subscriber(broker.Port());
    double rate = 0;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        publish::StationPublisher back(settings, nullptr);
        if (!subscriber.WaitForCount(messages, std::chrono::seconds(120))) {
            state.SkipWithError(("only " + std::to_string(subscriber.count.load()) + " arrived").c_str());
            break;
        }
        rate = messages / std::chrono::duration<double>(Clock::time_point(Clock::duration(subscriber.lastArrival.load())) - start).count();
    }
    state.counters["delivered"] = static_cast<double>(subscriber.count.load());
    state.counters["per_second"] = rate;
}
BENCHMARK(BM_SpoolDrainAfterOutage)->Arg(100000)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_ConnectedIdleCpu(benchmark::State &state)
{
    Rig rig;
    if (!rig.Ready(state))
        return;
    MeasureIdleCpu(state, rig.station.pid);
}
BENCHMARK(BM_ConnectedIdleCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
