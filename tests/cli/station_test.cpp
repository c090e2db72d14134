// A station as a user runs it: the decoder simulator on a pty, karvenzop-cli
// monitor --publish, a real mosquitto on 127.0.0.1 and a subscriber. Every
// test has its own broker port, pty and folders, so they run side by side.

#include "brokertestsupport.h"
#include "cliprocess.h"
#include "simprocess.h"

#include <nlohmann/json.hpp>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Json = nlohmann::json;

namespace {

const std::vector<std::string> Vehicles = {"61234521", "61234522", "62051183", "63318801",
                                           "68120417", "6B7A0312", "69440250", "61010101"};

std::string FileText(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The simulator at a pty link of the test's choosing (so it can come back
// under the same name), logging to a file.
std::unique_ptr<ChildProcess> StartSim(const std::string &link, const std::string &log, const std::string &interval)
{
    auto sim = std::make_unique<ChildProcess>(std::vector<std::string>{
        "/bin/sh", "-c", "exec \"$0\" \"$@\" >>'" + log + "' 2>&1", BinDirectory() + "decoder_sim", "--link", link,
        "--telegram-interval", interval});
    struct stat st {};
    EXPECT_TRUE(WaitUntil([&] { return ::stat(link.c_str(), &st) == 0; }, 10s)) << FileText(log);
    return sim;
}

// The identifiers of the telegrams the simulator sent, from its log.
std::vector<std::string> SentTelegrams(const std::string &log)
{
    std::vector<std::string> ids;
    std::istringstream lines(FileText(log));
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(" TELEGRAM 1 R 2 ");
        if (at != std::string::npos)
            ids.push_back(line.substr(at + 16, 8));
    }
    return ids;
}

// karvenzop-cli with stdout into a file (nothing blocks on a full pipe), stderr piped.
std::unique_ptr<CliProcess> StartCli(const std::vector<std::string> &args, const std::string &out)
{
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >'" + out + "'", CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<CliProcess>(argv);
}

struct Published {
    uint64_t seq;
    Json message;
};

// Telegrams and lines of a station in arrival order, repeats (QoS 1) left out
// after checking that a repeat is the same message.
std::vector<Published> StationMessages(TestSubscriber &subscriber, const std::string &station, bool telegramsOnly)
{
    std::vector<Published> found;
    std::map<uint64_t, std::string> seen;
    for (const ReceivedMessage &m : subscriber.Messages()) {
        const bool telegram = m.topic == "kz/" + station + "/telegram";
        if (!telegram && (telegramsOnly || m.topic != "kz/" + station + "/line"))
            continue;
        Json message = Json::parse(m.payload);
        if (!message.contains("seq"))
            continue;   // a dropped-messages notice
        const uint64_t seq = message["seq"];
        if (seen.count(seq)) {
            EXPECT_EQ(seen[seq], m.payload) << "seq " << seq << " sent twice with different content";
            continue;
        }
        seen[seq] = m.payload;
        found.push_back({seq, message});
    }
    return found;
}

// Sequence numbers that run 1, 2, 3 ... without a gap, in arrival order.
void ExpectNoGap(const std::vector<Published> &messages)
{
    for (size_t i = 0; i < messages.size(); ++i)
        ASSERT_EQ(messages[i].seq, i + 1) << "at message " << i;
}

class StationTest : public ::testing::Test {
protected:
    // The programs' state (watch's sessions) goes into the test's folder.
    void SetUp() override
    {
        ::setenv("HOME", dir.Path().c_str(), 1);
        ::setenv("XDG_STATE_HOME", Path("state").c_str(), 1);
        ::setenv("STATE_DIRECTORY", Path("state").c_str(), 1);
    }
    TempDir dir;
    std::string Path(const std::string &name) const { return dir.Path() + "/" + name; }
    std::vector<std::string> MonitorArgs(const MosquittoBroker &broker, const std::string &station)
    {
        return {"monitor", "--port", Path("tty-" + station), "--publish", broker.Url("kz"), "--station", station,
                "--spool", Path("spool-" + station)};
    }
};

} // namespace

TEST_F(StationTest, EveryTelegramArrivesOnceInOrderWithItsDesignation)
{
    MosquittoBroker broker;
    TestSubscriber subscriber(broker.Port(), "kz/#");
    std::string substitutions;
    for (const std::string &id : Vehicles)
        substitutions += id + "=Wache " + id.substr(4) + " Ä\r\n";
    dir.WriteFile("substi.txt", substitutions);
    auto sim = StartSim(Path("tty-s1"), Path("sim.log"), "0.03");

    std::vector<std::string> args = MonitorArgs(broker, "s1");
    args.insert(args.end(), {"--substitutions", Path("substi.txt"), "--duration", "2"});
    const CliResult run = RunCli(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_TRUE(subscriber.WaitForPayload("kz/s1/status", "offline", 5s));

    const std::vector<Published> all = StationMessages(subscriber, "s1", false);
    ExpectNoGap(all);
    std::vector<std::string> published;
    for (const Published &p : StationMessages(subscriber, "s1", true)) {
        const std::string id = p.message["identifier"];
        published.push_back(id);
        EXPECT_EQ(p.message["station"], "s1");
        EXPECT_EQ(p.message["designation"], "Wache " + id.substr(4) + " Ä");
    }
    ASSERT_GE(published.size(), 20u) << run.out;
    // What the simulator sent from the first published telegram to the last, all of it, once, in order.
    const std::vector<std::string> sent = SentTelegrams(Path("sim.log"));
    const auto start = std::search(sent.begin(), sent.end(), published.begin(), published.begin() + 3);
    ASSERT_NE(start, sent.end());
    EXPECT_EQ(std::vector<std::string>(start, start + std::min<ptrdiff_t>(published.size(), sent.end() - start)),
              published);
    // The terminal shows what it always showed.
    EXPECT_NE(run.out.find(" R1: " + published[0]), std::string::npos) << run.out;
}

TEST_F(StationTest, BrokerAwayFor20SecondsLosesNothingAndKeepsOrder)
{
    MosquittoBroker broker;
    TestSubscriber subscriber(broker.Port(), "kz/#");
    auto sim = StartSim(Path("tty-s1"), Path("sim.log"), "0.05");
    auto monitor = StartCli(MonitorArgs(broker, "s1"), Path("out"));
    ASSERT_TRUE(subscriber.WaitFor([](auto &m) { return m.size() >= 10; }, 10s)) << monitor->err;

    broker.Stop();
    std::this_thread::sleep_for(20s);
    broker.Start();
    // At 20 telegrams a second the outage alone held about 400; the monitor
    // retries at least every 8 s.
    EXPECT_TRUE(WaitUntil([&] { return subscriber.On("kz/s1/telegram").size() >= 350; }, 20s));
    monitor->Signal(SIGTERM);
    EXPECT_EQ(monitor->Wait(10000), 0) << monitor->err;
    ASSERT_TRUE(subscriber.WaitForPayload("kz/s1/status", "offline", 10s));
    ExpectNoGap(StationMessages(subscriber, "s1", false));
    EXPECT_NE(monitor->err.find("trying again"), std::string::npos) << monitor->err;
}

TEST_F(StationTest, SpoolOfAMonitorKilledWhileTheBrokerWasAwayIsDeliveredAfterTheRestart)
{
    MosquittoBroker broker;
    TestSubscriber subscriber(broker.Port(), "kz/#");
    broker.Stop();
    auto sim = StartSim(Path("tty-s1"), Path("sim.log"), "0.05");
    std::vector<std::string> args = MonitorArgs(broker, "s1");
    args.push_back("--json");
    std::vector<std::string> shown;   // the times of the telegrams the first run printed
    {
        CliProcess first([&] {
            std::vector<std::string> argv = {CliPath()};
            argv.insert(argv.end(), args.begin(), args.end());
            return argv;
        }());
        std::string line;
        while (shown.size() < 10 && first.ReadLine(line, 5000)) {
            const Json record = Json::parse(line);
            if (record["kind"] == "telegram")
                shown.push_back(record["time"]);
        }
        ASSERT_EQ(shown.size(), 10u) << first.err;
        std::this_thread::sleep_for(100ms);   // the last one read is on the disk by now
        first.Signal(SIGKILL);
        first.Wait(5000);
    }
    broker.Start();
    args.insert(args.end(), {"--duration", "1"});
    EXPECT_EQ(RunCli(args).exitCode, 0);
    ASSERT_TRUE(subscriber.WaitForPayload("kz/s1/status", "offline", 10s));
    const std::vector<Published> all = StationMessages(subscriber, "s1", false);
    ExpectNoGap(all);
    const std::vector<Published> telegrams = StationMessages(subscriber, "s1", true);
    ASSERT_GE(telegrams.size(), shown.size());
    for (size_t i = 0; i < shown.size(); ++i)
        EXPECT_EQ(telegrams[i].message["time"], shown[i]) << "telegram " << i << " of the killed run";
}

TEST_F(StationTest, StatusFollowsTheDeviceAndTheLastWillSaysOffline)
{
    MosquittoBroker broker;
    TestSubscriber subscriber(broker.Port(), "kz/#");
    auto sim = StartSim(Path("tty-s1"), Path("sim.log"), "0.2");
    auto monitor = StartCli(MonitorArgs(broker, "s1"), Path("out"));
    auto devices = [&] { return subscriber.On("kz/s1/device").size(); };
    ASSERT_TRUE(WaitUntil([&] { return devices() == 1; }, 10s)) << monitor->err;
    const Json device = Json::parse(subscriber.On("kz/s1/device")[0].payload);
    EXPECT_EQ(device["serial_number"], "A1234");
    EXPECT_EQ(device["firmware_version"], "4.69");
    EXPECT_EQ(device["hardware_revision"], "C469-2");
    EXPECT_EQ(device["port"], Path("tty-s1"));

    sim.reset();   // the adapter is pulled
    EXPECT_TRUE(subscriber.WaitForPayload("kz/s1/status", "device-lost", 10s)) << monitor->err;
    sim = StartSim(Path("tty-s1"), Path("sim.log"), "0.2");
    EXPECT_TRUE(WaitUntil([&] { return devices() == 2; }, 15s)) << monitor->err;
    const auto statuses = subscriber.On("kz/s1/status");
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses[statuses.size() - 1].payload, "online");
    EXPECT_EQ(statuses[statuses.size() - 2].payload, "device-lost");

    monitor->Signal(SIGKILL);
    EXPECT_TRUE(subscriber.WaitForPayload("kz/s1/status", "offline", 10s));
    // A centre that starts later sees the retained state.
    TestSubscriber late(broker.Port(), "kz/s1/#");
    EXPECT_TRUE(late.WaitForPayload("kz/s1/status", "offline", 5s));
    EXPECT_TRUE(WaitUntil([&] { return late.On("kz/s1/device").size() == 1; }, 5s));
    for (const ReceivedMessage &m : late.Messages())
        EXPECT_TRUE(m.retained) << m.topic;
}

TEST_F(StationTest, WatchAtTheCentreSeesADirectAndABridgedStation)
{
    MosquittoBroker centre;
    // The site's broker forwards the stations' topics to the centre's.
    MosquittoBroker site("connection site-to-centre\naddress 127.0.0.1:" + std::to_string(centre.Port()) +
                         "\ntopic kz/# out 1\n");
    auto simA = StartSim(Path("tty-a"), Path("sim-a.log"), "0.1");
    auto simB = StartSim(Path("tty-b"), Path("sim-b.log"), "0.1");
    auto watch = StartCli({"watch", centre.Url("kz"), "--json"}, Path("watch.out"));
    std::this_thread::sleep_for(500ms);   // subscribed before the stations start
    auto stationA = StartCli(MonitorArgs(site, "a"), Path("a.out"));
    auto stationB = StartCli(MonitorArgs(centre, "b"), Path("b.out"));

    auto seen = [&](const std::string &station, const std::string &topic) {
        return FileText(Path("watch.out")).find("\"station\":\"" + station + "\",\"topic\":\"" + topic + "\"") !=
               std::string::npos;
    };
    EXPECT_TRUE(WaitUntil(
        [&] {
            return seen("a", "telegram") && seen("b", "telegram") && seen("a", "status") && seen("b", "status") &&
                   seen("a", "device") && seen("b", "device");
        },
        15s))
        << FileText(Path("watch.out")) << site.Log();
    stationA->Signal(SIGTERM);
    EXPECT_EQ(stationA->Wait(10000), 0);
    EXPECT_TRUE(WaitUntil([&] { return FileText(Path("watch.out")).find("\"station\":\"a\",\"topic\":\"status\","
                                                                      "\"retained\":false,\"message\":\"offline\"") !=
                                       std::string::npos; },
                          10s))
        << FileText(Path("watch.out"));
    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Wait(5000), 0) << watch->err;

    // Text: a line per message with time and station.
    const CliResult text = RunCli({"watch", centre.Url("kz"), "--count", "1"});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_TRUE(text.out.find(" a status: offline\n") != std::string::npos ||
                text.out.find(" b status: online\n") != std::string::npos)
        << text.out;
}

namespace {

// watch --json output: per station the seqs of its telegrams and lines, and its gap records.
struct Watched {
    std::map<std::string, std::map<uint64_t, int>> seqs;   // station -> seq -> times shown
    std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>> gaps;
    std::map<std::string, std::string> epochs;
};

void ReadWatched(const std::string &text, Watched &watched)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const Json record = Json::parse(line);
        const std::string station = record["station"];
        if (record.value("kind", "") == "gap") {
            watched.gaps[station].emplace_back(record["first_seq"], record["last_seq"]);
            continue;
        }
        const Json &message = record["message"];
        if (message.is_object() && message.contains("seq")) {
            ++watched.seqs[station][message["seq"].get<uint64_t>()];
            watched.epochs[station] = message["epoch"];
        }
    }
}

} // namespace

TEST_F(StationTest, WatchWithASessionShowsEveryTelegramOnceAcrossItsAbsenceAndABrokerRestart)
{
    MosquittoBroker broker("max_queued_messages 100000\n");
    auto watch = StartCli({"watch", broker.Url("kz"), "--json", "--session", "centre"}, Path("w1"));
    std::this_thread::sleep_for(500ms);
    auto simA = StartSim(Path("tty-a"), Path("sim-a.log"), "0.05");
    auto simB = StartSim(Path("tty-b"), Path("sim-b.log"), "0.05");
    auto stationA = StartCli(MonitorArgs(broker, "a"), Path("a.out"));
    auto stationB = StartCli(MonitorArgs(broker, "b"), Path("b.out"));
    auto shown = [&](const std::string &file, const std::string &station) {
        Watched watched;
        ReadWatched(FileText(Path(file)), watched);
        return watched.seqs[station].size();
    };
    ASSERT_TRUE(WaitUntil([&] { return shown("w1", "a") >= 10 && shown("w1", "b") >= 10; }, 15s)) << watch->err;

    // The centre goes away, then the broker restarts while the stations go on.
    watch->Signal(SIGTERM);
    EXPECT_EQ(watch->Wait(5000), 0) << watch->err;
    broker.Stop();
    std::this_thread::sleep_for(3s);
    broker.Start();
    std::this_thread::sleep_for(4s);
    Watched first;
    ReadWatched(FileText(Path("w1")), first);
    // A publisher's wild seq, even with the station's epoch, hides none of its real telegrams.
    ASSERT_EQ(std::system(("mosquitto_pub -p " + std::to_string(broker.Port()) +
                           " -q 1 -t kz/a/telegram -m '{\"epoch\":\"" + first.epochs["a"] + "\",\"seq\":99999}'")
                              .c_str()),
              0);
    watch = StartCli({"watch", broker.Url("kz"), "--json", "--session", "centre"}, Path("w2"));
    std::this_thread::sleep_for(3s);
    for (auto *station : {&stationA, &stationB}) {
        (*station)->Signal(SIGTERM);
        EXPECT_EQ((*station)->Wait(10000), 0) << (*station)->err;
    }
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::string text = FileText(Path("w2"));
            return text.find("\"station\":\"a\",\"topic\":\"status\",\"retained\":false,\"message\":\"offline\"") !=
                       std::string::npos &&
                   text.find("\"station\":\"b\",\"topic\":\"status\",\"retained\":false,\"message\":\"offline\"") !=
                       std::string::npos;
        },
        10s));
    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Wait(5000), 0) << watch->err;

    Watched all;
    ReadWatched(FileText(Path("w1")) + FileText(Path("w2")), all);
    all.seqs["a"].erase(99999);
    for (const std::string station : {"a", "b"}) {
        const auto &seqs = all.seqs[station];
        ASSERT_GE(seqs.size(), 100u) << station;
        EXPECT_EQ(seqs.rbegin()->first, seqs.size()) << station << ": a seq is missing";
        for (const auto &[seq, times] : seqs)
            EXPECT_EQ(times, 1) << station << " seq " << seq;
    }
    // The only gap is the one the wild seq opened.
    EXPECT_TRUE(all.gaps["b"].empty());
    ASSERT_EQ(all.gaps["a"].size(), 1u);
    EXPECT_EQ(all.gaps["a"][0].second, 99998u);
}

TEST_F(StationTest, WatchShowsAnyPublishersMessagesAsDataWithinBoundsAndStopsAtOnceWhenNotRead)
{
    MosquittoBroker broker;
    const std::string pub = "mosquitto_pub -p " + std::to_string(broker.Port()) + " -q 1 ";
    auto text = StartCli({"watch", broker.Url("kz")}, Path("text.out"));
    auto json = StartCli({"watch", broker.Url("kz"), "--json"}, Path("json.out"));
    std::this_thread::sleep_for(500ms);
    dir.WriteFile("evil.json", "{\"kind\":\"spool-dropped\",\"dropped\":\"\\u001b]2;OWNED\\u0007\\u001b[2J\","
                               "\"first_seq\":\"\\u009b\",\"last_seq\":\"\\u202e1\"}");
    dir.WriteFile("big", std::string(1 << 20, 'x'));
    ASSERT_EQ(std::system((pub + "-t kz/evil/line -f '" + Path("evil.json") + "'").c_str()), 0);
    ASSERT_EQ(std::system((pub + "-t kz/big/status -f '" + Path("big") + "'").c_str()), 0);
    ASSERT_EQ(std::system((pub + "-t 'kz/\xe2\x80\xaename/status' -m online").c_str()), 0);
    // More station names (1033 in all) than the centre keeps: the oldest are forgotten, and said so.
    ASSERT_EQ(std::system(("for i in $(seq 1030); do echo \"s$i\"; done | while read s; do " + pub +
                           "-t \"kz/$s/status\" -m online || exit 1; done")
                              .c_str()),
              0);
    auto count = [&](const std::string &file, const std::string &part) {
        const std::string all = FileText(Path(file));
        size_t n = 0;
        for (size_t at = all.find(part); at != std::string::npos; at = all.find(part, at + 1))
            ++n;
        return n;
    };
    EXPECT_TRUE(WaitUntil([&] { return count("text.out", " status: online") == 1031; }, 20s));
    for (auto *watch : {&text, &json}) {
        (*watch)->Signal(SIGTERM);
        EXPECT_EQ((*watch)->Wait(5000), 0) << (*watch)->err;
    }
    const std::string shown = FileText(Path("text.out")) + FileText(Path("json.out"));
    for (const std::string raw : {"\x1b", "\x07", "\xc2\x9b", "\xe2\x80\xae"})
        EXPECT_EQ(shown.find(raw), std::string::npos) << "a raw control or bidi character reached the output";
    EXPECT_NE(shown.find(" evil \\x1b]2;OWNED\\x07\\x1b[2J messages dropped from the full spool (seq \\x9b to "
                         "\\u202e1)\n"),
              std::string::npos)
        << FileText(Path("text.out")).substr(0, 2000);
    EXPECT_NE(shown.find(" big status: (1048576 bytes, not shown)\n"), std::string::npos);
    EXPECT_NE(shown.find("\"station\":\"big\",\"topic\":\"status\",\"retained\":false,\"message\":\"(1048576 bytes, "
                         "not shown)\"}"),
              std::string::npos);
    EXPECT_NE(shown.find("\"station\":\"\\u202ename\""), std::string::npos);
    EXPECT_NE(shown.find(" \\u202ename status: online\n"), std::string::npos);
    EXPECT_EQ(count("text.out", " forgotten: more than 1024 stations\n"), 1033u - 1024u);
    EXPECT_EQ(count("json.out", "\"kind\":\"forgotten\""), 1033u - 1024u);

    // A reader that never reads: the flood is dropped and counted, and a stop ends watch at once.
    const std::string fifo = Path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ::fcntl(reader, F_SETPIPE_SZ, 4096);
    // Its session is made first, so the broker keeps the flood for it however late it logs in.
    ASSERT_EQ(RunCli({"watch", broker.Url("kz"), "--session", "stalled", "--duration", "0.5"}).exitCode, 0);
    CliProcess stalled({"/bin/sh", "-c", "exec \"$0\" watch \"$1\" --json --session stalled > \"$2\"", CliPath(),
                        broker.Url("kz"), fifo});
    ASSERT_EQ(std::system(("seq 20000 | " + pub + "-t kz/flood/telegram -l").c_str()), 0);
    const auto stop = std::chrono::steady_clock::now();
    stalled.Signal(SIGTERM);
    EXPECT_EQ(stalled.Wait(1000), 0) << stalled.err;
    EXPECT_LT(std::chrono::steady_clock::now() - stop, 1s);
    EXPECT_TRUE(std::regex_match(stalled.err,
                                 std::regex("karvenzop-cli: [1-9][0-9]* lines dropped: the output was not read\\.\n")))
        << stalled.err;
    ::close(reader);
}

TEST_F(StationTest, ShippedBrokerSetUpLetsAStationPublishOnlyUnderItsNameAndTheCentreOnlyRead)
{
    // The packaged files as they are, with the test's port and password file.
    std::string conf = FileText(KZ_MOSQUITTO_SETUP "/karvenzop.conf");
    const int port = FreePort();
    auto replace = [&](const std::string &from, const std::string &to) {
        const size_t at = conf.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        conf.replace(at, from.size(), to);
    };
    replace("listener 1883", "listener " + std::to_string(port) + " 127.0.0.1");
    replace("/etc/mosquitto/karvenzop.passwd", Path("passwd"));
    replace("/etc/mosquitto/karvenzop.acl", KZ_MOSQUITTO_SETUP "/karvenzop.acl");
    for (const std::string login : {"site1", "site2", "centre"})
        ASSERT_EQ(std::system(("mosquitto_passwd " + std::string(login == "site1" ? "-c " : "") + "-b '" +
                               Path("passwd") + "' " + login + " pw-" + login)
                                  .c_str()),
                  0);
    MosquittoBroker broker(conf);
    const std::string url = broker.Url("karvenzop", false, port);
    dir.WriteFile("centre.login", "username=centre\npassword=pw-centre\n");
    ASSERT_EQ(::chmod(Path("centre.login").c_str(), 0600), 0);
    auto watch = StartCli({"watch", url, "--json", "--credentials", Path("centre.login")}, Path("watch.out"));
    auto pub = [&](const std::string &login, const std::string &topic, const std::string &message) {
        return std::system(("mosquitto_pub -p " + std::to_string(port) + " -u " + login + " -P pw-" + login +
                            " -q 1 -t '" + topic + "' -m '" + message + "'")
                               .c_str());
    };
    // What site1's login may read: nothing, though the stations publish.
    CliProcess snoop({"/usr/bin/mosquitto_sub", "-p", std::to_string(port), "-u", "site1", "-P", "pw-site1", "-t",
                      "karvenzop/#", "-v"});
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(pub("site1", "karvenzop/site1/status", "own"), 0);
    EXPECT_EQ(pub("site1", "karvenzop/site2/status", "impersonated"), 0);
    EXPECT_EQ(pub("centre", "karvenzop/site2/status", "from-the-centre"), 0);
    // A message larger than the broker takes ends that client's connection, not the centre's memory.
    dir.WriteFile("huge", std::string(3 << 20, 'x'));
    std::system(("mosquitto_pub -p " + std::to_string(port) + " -u site1 -P pw-site1 -q 1 -t karvenzop/site1/line -f '" +
                 Path("huge") + "' 2>/dev/null")
                    .c_str());
    EXPECT_EQ(pub("site2", "karvenzop/site2/status", "own"), 0);
    EXPECT_TRUE(WaitUntil([&] { return FileText(Path("watch.out")).find("\"station\":\"site2\"") != std::string::npos; },
                          10s))
        << FileText(Path("watch.out")) << broker.Log();
    std::this_thread::sleep_for(300ms);
    snoop.Signal(SIGTERM);
    snoop.Wait(3000);
    EXPECT_EQ(snoop.out, "");
    watch->Signal(SIGTERM);
    EXPECT_EQ(watch->Wait(5000), 0) << watch->err;
    const std::string seen = FileText(Path("watch.out"));
    EXPECT_NE(seen.find("\"station\":\"site1\",\"topic\":\"status\",\"retained\":false,\"message\":\"own\""),
              std::string::npos)
        << seen;
    EXPECT_EQ(seen.find("impersonated"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("from-the-centre"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("\"topic\":\"line\""), std::string::npos) << seen.substr(0, 2000);
}

TEST_F(StationTest, BadAddressesAreRefusedAtStartAndWatchEndsOnARefusedLogin)
{
    for (const std::vector<std::string> &bad :
         {std::vector<std::string>{"--publish", "mqtt://127.0.0.1/kz/#"}, {"--publish", "mqtt://127.0.0.1/k\x1bz"},
          {"--publish", "mqtt://u:p@127.0.0.1/kz"}, {"--publish", "mqtt://127.0.0.1/kz", "--station", "a+b"},
          {"--publish", "mqtt://127.0.0.1/kz", "--station", "a/b"}, {"--station", "s1"},
          {"--publish", "mqtt://127.0.0.1/kz", "--station", "site\xc2\x85"},
          {"--publish", "mqtt://127.0.0.1/kz", "--station", "\xe2\x80\xaesite"},
          {"--publish", "mqtt://127.0.0.1/k\xe2\x80\x8bz"}}) {
        std::vector<std::string> args = {"monitor", "--port", Path("no-tty")};
        args.insert(args.end(), bad.begin(), bad.end());
        const CliResult run = RunCli(args);
        EXPECT_EQ(run.exitCode, 2) << bad.back() << ": " << run.err;
    }
    EXPECT_EQ(RunCli({"watch", "mqtt://127.0.0.1/+"}).exitCode, 2);
    EXPECT_EQ(RunCli({"watch", "mqtt://127.0.0.1/kz\xe2\x80\xae"}).exitCode, 2);

    ASSERT_EQ(std::system(("mosquitto_passwd -c -b '" + Path("passwd") + "' centre right").c_str()), 0);
    const int port = FreePort();
    MosquittoBroker broker("listener " + std::to_string(port) + " 127.0.0.1\nallow_anonymous false\npassword_file " +
                           Path("passwd") + "\n");
    dir.WriteFile("login", "username=centre\npassword=wrong\n");
    ASSERT_EQ(::chmod(Path("login").c_str(), 0600), 0);
    const CliResult refused = RunCli({"watch", broker.Url("kz", false, port), "--credentials", Path("login")});
    EXPECT_EQ(refused.exitCode, 5);
    EXPECT_EQ(refused.err, "karvenzop-cli: broker 127.0.0.1:" + std::to_string(port) +
                               ": login refused: Connection Refused: not authorised.\n");
}

TEST_F(StationTest, StartRefusesASpoolOrLoginThatOtherUsersCanWriteOrRead)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "files of another user need root";
    MosquittoBroker broker;
    auto sim = StartSim(Path("tty-s1"), Path("sim.log"), "0.2");
    auto run = [&](const std::vector<std::string> &extra) {
        std::vector<std::string> args = MonitorArgs(broker, "s1");
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"--duration", "0.5"});
        return RunCli(args);
    };
    // A spool folder another user made, or one anybody may write into.
    ASSERT_EQ(::mkdir(Path("spool-s1").c_str(), 0700), 0);
    ASSERT_EQ(::chown(Path("spool-s1").c_str(), 65534, 65534), 0);
    CliResult refused = run({});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("spool-s1 is refused: owned by user 65534"), std::string::npos) << refused.err;
    ASSERT_EQ(::chown(Path("spool-s1").c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(Path("spool-s1").c_str(), 0777), 0);
    refused = run({});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("writable by others (mode 0777)"), std::string::npos) << refused.err;
    ASSERT_EQ(::chmod(Path("spool-s1").c_str(), 0700), 0);

    // A login everybody can read, or one of another user; 0640 for the service's group is right.
    dir.WriteFile("login", "username=s1\npassword=secret\n");
    ASSERT_EQ(::chmod(Path("login").c_str(), 0644), 0);
    refused = run({"--credentials", Path("login")});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("login is refused: readable by others (mode 0644)"), std::string::npos) << refused.err;
    ASSERT_EQ(::chmod(Path("login").c_str(), 0640), 0);
    ASSERT_EQ(::chown(Path("login").c_str(), 65534, 0), 0);
    refused = run({"--credentials", Path("login")});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("owned by user 65534, not by this user or root"), std::string::npos) << refused.err;
    const CliResult watch = RunCli({"watch", broker.Url("kz"), "--credentials", Path("login"), "--duration", "0.2"});
    EXPECT_EQ(watch.exitCode, 2) << watch.err;
    ASSERT_EQ(::chown(Path("login").c_str(), 0, 65534), 0);
    const CliResult accepted = run({"--credentials", Path("login")});
    EXPECT_EQ(accepted.exitCode, 0) << accepted.err;
}

namespace {

// The unit's settings: "Key=value" lines of the [Service] section.
std::map<std::string, std::string> UnitSettings(const std::string &unit)
{
    std::map<std::string, std::string> settings;
    std::istringstream lines(unit);
    for (std::string line; std::getline(lines, line);)
        if (const size_t equals = line.find('='); !line.empty() && line[0] != '#' && equals != std::string::npos)
            settings[line.substr(0, equals)] = line.substr(equals + 1);
    return settings;
}

// ExecStart as systemd expands it: %i, "${VAR}" as one word, "$VAR" split at blanks.
std::vector<std::string> ExpandCommand(const std::string &command, const std::string &instance,
                                       const std::map<std::string, std::string> &environment)
{
    std::vector<std::string> words;
    std::istringstream in(command);
    for (std::string word; in >> word;) {
        if (word == "%i") {
            words.push_back(instance);
        } else if (word.rfind("${", 0) == 0) {
            words.push_back(environment.at(word.substr(2, word.size() - 3)));
        } else if (word[0] == '$') {
            std::istringstream split(environment.count(word.substr(1)) ? environment.at(word.substr(1)) : "");
            for (std::string part; split >> part;)
                words.push_back(part);
        } else {
            words.push_back(word);
        }
    }
    return words;
}

} // namespace

TEST_F(StationTest, ServiceUnitPassesSystemdsCheckAndItsCommandRunsAStation)
{
    // The unit as installed, with the program from this build.
    std::string unit = FileText(KZ_SERVICE_UNIT);
    const size_t program = unit.find("ExecStart=/");
    ASSERT_NE(program, std::string::npos) << unit;
    const size_t end = unit.find(' ', program);
    ASSERT_EQ(unit.substr(end - 18, 18), "/bin/karvenzop-cli") << unit;
    unit.replace(program + 10, end - program - 10, CliPath());
    dir.WriteFile("karvenzop-monitor@.service", unit);
    CliProcess check({"/bin/sh", "-c", "systemd-analyze verify --man=no \"$0\" 2>&1",
                      Path("karvenzop-monitor@site1.service")});
    EXPECT_EQ(check.Wait(30000), 0) << check.out;
    EXPECT_EQ(check.out, "") << "systemd-analyze has remarks";

    const std::map<std::string, std::string> settings = UnitSettings(unit);
    EXPECT_EQ(settings.at("EnvironmentFile"), "/etc/karvenzop/monitor-%i.conf");
    EXPECT_EQ(settings.at("User"), "karvenzop");
    EXPECT_EQ(settings.at("SupplementaryGroups"), "dialout");
    EXPECT_EQ(settings.at("Restart"), "on-failure");

    // The shipped example, filled in as a user would.
    MosquittoBroker broker;
    TestSubscriber subscriber(broker.Port(), "kz/#");
    auto sim = StartSim(Path("tty-site1"), Path("sim.log"), "0.05");
    std::map<std::string, std::string> environment;
    std::istringstream example(FileText(KZ_MONITOR_CONF_EXAMPLE));
    for (std::string line; std::getline(example, line);)
        if (const size_t equals = line.find('='); !line.empty() && line[0] != '#' && equals != std::string::npos)
            environment[line.substr(0, equals)] = line.substr(equals + 1);
    ASSERT_EQ(environment.size(), 3u);
    environment["KARVENZOP_PORT"] = Path("tty-site1");
    environment["KARVENZOP_BROKER"] = broker.Url("kz");
    dir.WriteFile("substi.txt", "61234521=RTW 1\r\n");
    environment["KARVENZOP_OPTIONS"] = "--substitutions " + Path("substi.txt") + " --spool-max-messages 1000";
    // What StateDirectory= gives the service.
    environment["STATE_DIRECTORY"] = Path("state");
    ::mkdir(Path("state").c_str(), 0700);
    for (const auto &[name, value] : environment)
        ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<std::string> command = ExpandCommand(settings.at("ExecStart"), "site1", environment);
    auto service = StartCli(std::vector<std::string>(command.begin() + 1, command.end()), Path("out"));
    for (const auto &[name, value] : environment)
        ::unsetenv(name.c_str());

    EXPECT_TRUE(WaitUntil([&] { return subscriber.On("kz/site1/telegram").size() >= 3; }, 10s)) << service->err;
    service->Signal(SIGTERM);   // systemctl stop
    EXPECT_EQ(service->Wait(10000), 0) << service->err;
    EXPECT_TRUE(subscriber.WaitForPayload("kz/site1/status", "offline", 5s));
    struct stat st {};
    EXPECT_EQ(::stat(Path("state/spool-site1/marks").c_str(), &st), 0) << "the spool is not in the state folder";
}
