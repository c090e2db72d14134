// The centre's board as a process against a real mosquitto on 127.0.0.1:
// stations (karvenzop-cli monitor --publish on ptys) feeding it, browsers'
// event streams reading it, and the page it serves.
#include "brokertestsupport.h"
#include "childstats.h"

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const std::string BrokerConfig = "max_queued_messages 10000000\n";

// A telegram whose free text carries its number, so every stream can tell
// which one arrived.
std::string Telegram(uint64_t number, int vehicle)
{
    char id[9];
    std::snprintf(id, sizeof id, "6%07d", vehicle);
    return std::string("1\x1eR\x1e" "2\x1e") + id + "\x1e" "3\x1e" "0\x1e" "1\x1e" "1\x1e" "B" +
           std::to_string(number) + "\n\r";
}

class Board {
public:
    explicit Board(const MosquittoBroker &broker) : port_(FreePort())
    {
        pid_ = SpawnBenchProgram({"karvenzop-cli", "board", broker.Url("kz"), "--listen",
                                  "127.0.0.1:" + std::to_string(port_), "--session", "bench"},
                                 -1);
        httplib::Client client("127.0.0.1", port_);
        for (int i = 0; i < 100 && !client.Get("/api/state"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Board()
    {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }

private:
    int port_;
    pid_t pid_;
};

// One browser's /events stream: when each numbered telegram arrived.
class EventStream {
public:
    EventStream(int port, size_t expected) : arrivals_(expected, Clock::time_point{})
    {
        thread_ = std::thread([this, port] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(30, 0);
            // As a browser does: a broken stream is taken up again from the last event.
            while (!stop_) {
                httplib::Headers headers;
                if (!lastId_.empty())
                    headers.emplace("Last-Event-ID", lastId_);
                client.Get("/events", headers, [this](const char *data, size_t length) {
                    Take(std::string_view(data, length));
                    return !stop_.load();
                });
                if (!stop_)
                    ++reconnects_;
            }
        });
    }
    ~EventStream()
    {
        stop_ = true;
        thread_.join();
    }
    int Reconnects() const { return reconnects_; }
    std::vector<Clock::time_point> Arrivals()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_;
    }

private:
    void Take(std::string_view bytes)
    {
        const Clock::time_point now = Clock::now();
        pending_ += bytes;
        const std::string marker = "event: telegram\ndata: ";
        size_t end = pending_.rfind("\n\n");
        if (end == std::string::npos)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t at = pending_.find(marker); at != std::string::npos && at < end;
             at = pending_.find(marker, at + 1)) {
            const size_t text = pending_.find("\"text\":\"B", at);
            if (text == std::string::npos || text > end)
                break;
            const uint64_t number = std::strtoull(pending_.c_str() + text + 9, nullptr, 10);
            if (number < arrivals_.size() && arrivals_[number] == Clock::time_point{})
                arrivals_[number] = now;
        }
        if (const size_t id = pending_.rfind("id: ", end); id != std::string::npos)
            lastId_ = pending_.substr(id + 4, pending_.find('\n', id) - id - 4);
        pending_.erase(0, end + 2);
    }

    std::atomic<bool> stop_{false};
    std::atomic<int> reconnects_{0};
    std::string pending_;
    std::string lastId_;
    std::mutex mutex_;
    std::vector<Clock::time_point> arrivals_;
    std::thread thread_;
};

class Station {
public:
    Station(const MosquittoBroker &broker, const std::string &name, const std::string &spool)
    {
        std::string port;
        master_ = OpenBenchPty(port);
        pid_ = SpawnBenchProgram({"karvenzop-cli", "monitor", "--port", port, "--publish", broker.Url("kz"),
                                  "--station", name, "--spool", spool},
                                 -1);
        if (master_ < 0 || pid_ < 0)
            std::abort();
    }
    ~Station()
    {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        ::close(master_);
    }
    void Send(const std::string &bytes) const
    {
        if (::write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            std::abort();
    }

private:
    int master_ = -1;
    pid_t pid_ = -1;
};

// 100 stations, 500 telegrams a second in all, 10 browsers' event streams:
// from the CR at a station's pty to the event at each stream; the board's CPU.
void BM_CrToBrowserStream(benchmark::State &state)
{
    constexpr int Stations = 100;
    constexpr int Streams = 10;
    constexpr int PerSecond = 500;
    const int seconds = static_cast<int>(state.range(0));
    const size_t total = static_cast<size_t>(PerSecond * seconds);
    MosquittoBroker broker(BrokerConfig);
    Board board(broker);
    // The spools on tmpfs: what is measured is the board, not the stations' disk.
    char folder[] = "/dev/shm/kz-board-bench-XXXXXX";
    if (!::mkdtemp(folder)) {
        state.SkipWithError("no folder on /dev/shm");
        return;
    }
    std::vector<std::unique_ptr<Station>> stations;
    for (int i = 0; i < Stations; ++i)
        stations.push_back(std::make_unique<Station>(broker, "s" + std::to_string(i),
                                                     std::string(folder) + "/s" + std::to_string(i)));
    std::vector<std::unique_ptr<EventStream>> streams;
    for (int i = 0; i < Streams; ++i)
        streams.push_back(std::make_unique<EventStream>(board.Port(), total + 1));
    std::this_thread::sleep_for(std::chrono::seconds(3));   // stations connected, streams open

    std::vector<Clock::time_point> sent(total + 1);
    double cpuPercent = 0;
    for (auto _ : state) {
        const double cpuBefore = ProcessCpuNanoseconds(board.Pid());
        const Clock::time_point start = Clock::now();
        for (size_t n = 1; n <= total; ++n) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(1000000 / PerSecond) * n);
            const std::string line = Telegram(n, static_cast<int>(n % 2000));
            const Station &station = *stations[n % Stations];
            station.Send(line.substr(0, line.size() - 1));
            sent[n] = Clock::now();
            station.Send("\r");
        }
        const double wall = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        cpuPercent = 100.0 * (ProcessCpuNanoseconds(board.Pid()) - cpuBefore) / wall;
        std::this_thread::sleep_for(std::chrono::seconds(3));   // the last ones through
    }
    std::vector<double> micros;
    size_t missing = 0;
    int reconnects = 0;
    for (auto &stream : streams) {
        reconnects += stream->Reconnects();
        const std::vector<Clock::time_point> arrivals = stream->Arrivals();
        for (size_t n = 1; n <= total; ++n) {
            if (arrivals[n] == Clock::time_point{})
                ++missing;
            else
                micros.push_back(std::chrono::duration<double, std::micro>(arrivals[n] - sent[n]).count());
        }
    }
    stations.clear();
    std::filesystem::remove_all(folder);
    ReportLatencies(state, std::move(micros));
    state.counters["board_cpu_percent"] = cpuPercent;
    state.counters["board_rss_kb"] = static_cast<double>(ProcessRssKb(board.Pid()));
    state.counters["missing_events"] = static_cast<double>(missing);
    state.counters["stream_reconnects"] = reconnects;
}
BENCHMARK(BM_CrToBrowserStream)->Arg(20)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// A publisher standing in for 1,000 stations with 10,000 vehicles: the
// board's memory after each round of all vehicles, which must stay flat.
void BM_ThousandStationsTenThousandVehicles(benchmark::State &state)
{
    constexpr int Stations = 1000;
    constexpr int Vehicles = 10000;
    const int rounds = static_cast<int>(state.range(0));
    MosquittoBroker broker(BrokerConfig);
    Board board(broker);
    mosquitto_lib_init();
    mosquitto *client = mosquitto_new(nullptr, true, nullptr);
    mosquitto_max_inflight_messages_set(client, 1000);
    if (mosquitto_connect(client, "127.0.0.1", broker.Port(), 30) != MOSQ_ERR_SUCCESS) {
        state.SkipWithError("no broker");
        return;
    }
    mosquitto_loop_start(client);
    auto publish = [&](const std::string &topic, const std::string &payload, bool retain) {
        if (mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                              retain) != MOSQ_ERR_SUCCESS)
            std::abort();
    };
    httplib::Client http("127.0.0.1", board.Port());
    auto vehiclesKnown = [&] {
        const auto reply = http.Get("/metrics");
        if (!reply)
            return -1L;
        const size_t at = reply->body.find("\nkarvenzop_board_vehicles ");
        return at == std::string::npos ? -1L : std::atol(reply->body.c_str() + at + 26);
    };
    for (int s = 0; s < Stations; ++s) {
        const std::string station = "station-" + std::to_string(s);
        publish("kz/" + station + "/status", "online", true);
        publish("kz/" + station + "/device",
                "{\"station\":\"" + station + "\",\"serial_number\":\"A" + std::to_string(s) +
                    "\",\"firmware_version\":\"4.69\",\"hardware_revision\":\"C469-2\",\"port\":\"/dev/ttyUSB0\"}",
                true);
    }
    uint64_t seq = 0;
    std::vector<long> rss;
    for (auto _ : state) {
        for (int round = 0; round < rounds; ++round) {
            for (int v = 0; v < Vehicles; ++v) {
                char id[9];
                std::snprintf(id, sizeof id, "7%07d", v);
                const std::string station = "station-" + std::to_string(v % Stations);
                publish("kz/" + station + "/telegram",
                        "{\"station\":\"" + station + "\",\"seq\":" + std::to_string(++seq) +
                            ",\"time\":\"2026-12-07T12:00:00.000+01:00\",\"kind\":\"telegram\",\"identifier\":\"" + id +
                            "\",\"status\":\"" + std::to_string(round % 10) +
                            "\",\"tactical_info\":\"0\",\"stage\":\"1\",\"direction\":\"FZ->LS\",\"text\":\"Einsatz "
                            "uebernommen\",\"designation\":\"RTW " + std::to_string(v) + "/83-1\"}",
                        false);
                if (v % 500 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            for (int wait = 0; wait < 300 && vehiclesKnown() < Vehicles; ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::this_thread::sleep_for(std::chrono::seconds(1));
            rss.push_back(ProcessRssKb(board.Pid()));
        }
    }
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, true);
    mosquitto_destroy(client);
    const auto state_ = http.Get("/api/state");
    state.counters["vehicles"] = static_cast<double>(vehiclesKnown());
    state.counters["state_json_kb"] = state_ ? static_cast<double>(state_->body.size()) / 1024 : -1;
    for (size_t round = 0; round < rss.size(); ++round)
        state.counters["rss_round_" + std::to_string(round + 1) + "_kb"] = static_cast<double>(rss[round]);
    state.counters["rss_peak_kb"] = static_cast<double>(*std::max_element(rss.begin(), rss.end()));
}
BENCHMARK(BM_ThousandStationsTenThousandVehicles)->Arg(8)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// What a browser loads for the page: the HTML, the script and the style, as
// sent to a browser that accepts compression, and as they are.
void BM_PageTransfer(benchmark::State &state)
{
    MosquittoBroker broker;
    Board board(broker);
    httplib::Client client("127.0.0.1", board.Port());
    double sentBytes = 0, plainBytes = 0;
    for (auto _ : state) {
        sentBytes = plainBytes = 0;
        for (const char *path : {"/", "/board.js", "/board.css"}) {
            // Raw bytes as the server sends them: no decompression here.
            client.set_decompress(false);
            const auto compressed = client.Get(path, {{"Accept-Encoding", "gzip, deflate, br"}});
            const auto plain = client.Get(path);
            if (!compressed || !plain || compressed->status != 200) {
                state.SkipWithError("the board did not serve the page");
                return;
            }
            sentBytes += static_cast<double>(compressed->body.size());
            plainBytes += static_cast<double>(plain->body.size());
        }
    }
    state.counters["page_sent_bytes"] = sentBytes;
    state.counters["page_plain_bytes"] = plainBytes;
}
BENCHMARK(BM_PageTransfer)->Iterations(10)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
