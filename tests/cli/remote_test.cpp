// karvenzop-cli on a decoder behind a serial device server: the simulator's
// pty served by Debian's ser2net and by pyserial's example server, reached
// as rfc2217://127.0.0.1:PORT.

#include "brokertestsupport.h"
#include "cliprocess.h"
#include "simprocess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// One of the two servers in front of a pty, on a port of its own. ser2net
// is set to 115200 baud, so the decoder's 9600 only holds when the client's
// settings reached the device.
class DeviceServer {
public:
    enum Kind { Ser2net, Pyserial };
    DeviceServer(Kind kind, const std::string &pty, int port = 0) : kind_(kind), pty_(pty), port_(port ? port : FreePort())
    {
        Start();
    }
    void Start()
    {
        if (kind_ == Ser2net) {
            dir_.WriteFile("ser2net.yaml", "connection: &decoder\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                                               std::to_string(port_) + "\n  connector: serialdev," + pty_ +
                                               ",115200n81,local\n  options:\n    kickolduser: true\n");
            process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
                "/usr/sbin/ser2net", "-d", "-c", dir_.Path() + "/ser2net.yaml", "-P", dir_.Path() + "/pid"});
        } else {
            process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
                "/usr/bin/python3", KZ_PTY_RFC2217_SERVER, "-p", std::to_string(port_), pty_});
        }
        EXPECT_TRUE(WaitUntilListening(port_, 10000));
    }
    void Stop() { process_.reset(); }
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    int Port() const { return port_; }
    const char *Name() const { return kind_ == Ser2net ? "ser2net" : "pyserial"; }

private:
    Kind kind_;
    std::string pty_;
    int port_;
    TempDir dir_;
    std::unique_ptr<ChildProcess> process_;
};

// The delaying proxy between the tool and a server.
class DelayProxy {
public:
    DelayProxy(int to, int rttMs, long cutAfter = 0)
        : process_({"/usr/bin/python3", KZ_DELAY_PROXY, "--to", std::to_string(to), "--rtt", std::to_string(rttMs),
                    "--cut-after", std::to_string(cutAfter)})
    {
        const std::string ready = process_.WaitForLine("READY");
        port_ = ready.empty() ? 0 : std::stoi(ready.substr(ready.find(' ') + 1));
    }
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

private:
    ChildProcess process_;
    int port_ = 0;
};

std::string FirmwareFile(const TempDir &work, const std::string &image)
{
    const std::string path = work.Path() + "/image.acy";
    WriteFile(path, MakeFirmwareContainer(image, "4.70"));
    return path;
}

// Every test with its own HOME and XDG folders, so no spool or setting of
// the user's is read or left behind.
class OwnHome : public ::testing::Environment {
public:
    void SetUp() override
    {
        home_ = std::make_unique<TempDir>();
        for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"})
            ::setenv(name, home_->Path().c_str(), 1);
    }
    void TearDown() override { home_.reset(); }

private:
    std::unique_ptr<TempDir> home_;
};
const auto *const ownHome = ::testing::AddGlobalTestEnvironment(new OwnHome);

} // namespace

TEST(RemotePort, InfoAndMonitorWorkThroughEitherServer)
{
    for (const DeviceServer::Kind kind : {DeviceServer::Ser2net, DeviceServer::Pyserial}) {
        SimProcess sim({"--serial", "R-2217", "--telegram-interval", "1"});
        DeviceServer server(kind, sim.Port());
        SCOPED_TRACE(server.Name());

        const CliResult info = RunCli({"info", "--port", server.Url()});
        EXPECT_EQ(info.exitCode, 0) << info.err;
        EXPECT_EQ(info.out, "Serial number: R-2217\nFirmware version: 4.69\nHardware revision: C469-2\n");

        const CliResult monitor = RunCli({"monitor", "--port", server.Url(), "--json", "--count", "2"});
        EXPECT_EQ(monitor.exitCode, 0) << monitor.err;
        EXPECT_NE(monitor.out.find("\"kind\":\"telegram\""), std::string::npos) << monitor.out;
    }
}

TEST(RemotePort, FlashThroughEitherServerWritesTheImage)
{
    // Firmware is full of 0xFF, the byte the protocol escapes.
    std::string image = PatternBytes(16384);
    for (size_t i = 0; i < image.size(); i += 7)
        image[i] = '\xff';
    image.replace(4000, 600, std::string(600, '\xff'));
    TempDir work;
    const std::string imagePath = FirmwareFile(work, image);

    for (const DeviceServer::Kind kind : {DeviceServer::Ser2net, DeviceServer::Pyserial}) {
        SimProcess sim({});
        DeviceServer server(kind, sim.Port());
        SCOPED_TRACE(server.Name());
        const CliResult flashed = RunCli({"flash", "--port", server.Url(), "--image", imagePath, "--yes"}, {}, 60000);
        EXPECT_EQ(flashed.exitCode, 0) << flashed.err;
        EXPECT_TRUE(ReadFile(sim.DumpPath()) == image) << "the simulator's flash differs from the image";
        // The decoder runs the new firmware and answers at 9600 again.
        const CliResult info = RunCli({"info", "--port", server.Url()});
        EXPECT_NE(info.out.find("Firmware version: 4.70"), std::string::npos) << info.err;
    }
}

TEST(RemotePort, WindowedFlashCrossesASlowLinkWithoutResending)
{
    // A decoder at its real line rate that takes four pages in flight,
    // 300 ms round trip away.
    const std::string image = PatternBytes(16384);
    TempDir work;
    const std::string imagePath = FirmwareFile(work, image);
    SimProcess sim({"--window", "4"}, true);
    DeviceServer server(DeviceServer::Ser2net, sim.Port());
    DelayProxy slow(server.Port(), 300);
    const CliResult flashed = RunCli({"flash", "--port", slow.Url(), "--image", imagePath, "--yes"}, {}, 90000);
    EXPECT_EQ(flashed.exitCode, 0) << flashed.err;
    EXPECT_TRUE(ReadFile(sim.DumpPath()) == image) << "the simulator's flash differs from the image";
    EXPECT_EQ((flashed.out + flashed.err).find("sending it again"), std::string::npos) << flashed.out << flashed.err;
}

TEST(RemotePort, LinkCutMidFlashIsALostDeviceAndTheNextRunCompletes)
{
    const std::string image = PatternBytes(32768);
    TempDir work;
    const std::string imagePath = FirmwareFile(work, image);
    SimProcess sim({"--window", "4"});
    DeviceServer server(DeviceServer::Ser2net, sim.Port());
    {
        DelayProxy cutting(server.Port(), 20, 12000);
        const CliResult cut = RunCli({"flash", "--port", cutting.Url(), "--image", imagePath, "--yes"}, {}, 60000);
        EXPECT_EQ(cut.exitCode, 4) << cut.err;
        EXPECT_NE(cut.err.find("was lost"), std::string::npos) << cut.err;
    }
    // The decoder waits in its bootloader; flashing again completes it.
    DelayProxy again(server.Port(), 20);
    const CliResult flashed = RunCli({"flash", "--port", again.Url(), "--image", imagePath, "--yes"}, {}, 60000);
    EXPECT_EQ(flashed.exitCode, 0) << flashed.err;
    EXPECT_TRUE(ReadFile(sim.DumpPath()) == image);
}

TEST(RemotePort, StationPublishesAndComesBackAfterTheLinkDrops)
{
    MosquittoBroker broker;
    TestSubscriber subscriber(broker.Port(), "kz/#");
    SimProcess sim({"--telegram-interval", "1"});
    DeviceServer server(DeviceServer::Ser2net, sim.Port());

    TempDir spool;
    CliProcess monitor({CliPath(), "monitor", "--port", server.Url(), "--json", "--publish", broker.Url("kz"),
                        "--station", "site", "--spool", spool.Path()});
    std::string line;
    bool telegram = false;
    while (!telegram && monitor.ReadLine(line, 10000))
        telegram = line.find("\"kind\":\"telegram\"") != std::string::npos;
    ASSERT_TRUE(telegram) << monitor.err;
    ASSERT_TRUE(WaitUntil([&] { return !subscriber.On("kz/site/telegram").empty(); }, 15s)) << monitor.err;

    // The server going away is the device going away.
    server.Stop();
    bool lost = false;
    while (!lost && monitor.ReadLine(line, 10000))
        lost = line.find("\"kind\":\"device-lost\"") != std::string::npos;
    EXPECT_TRUE(lost) << monitor.err;
    const size_t before = subscriber.On("kz/site/telegram").size();

    server.Start();
    bool back = false;
    while (!back && monitor.ReadLine(line, 10000))
        back = line.find("\"kind\":\"device-back\"") != std::string::npos;
    EXPECT_TRUE(back) << monitor.err;
    EXPECT_TRUE(WaitUntil([&] { return subscriber.On("kz/site/telegram").size() > before; }, 15s));
    monitor.Signal(SIGTERM);
    EXPECT_EQ(monitor.Wait(10000), 0) << monitor.err;
}

TEST(RemotePort, SilentServerIsGivenUpWithinTheConnectBound)
{
    // Accepts connections and never answers the option.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    const auto start = std::chrono::steady_clock::now();
    const CliResult info = RunCli({"info", "--port", url});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_NE(info.exitCode, 0);
    EXPECT_NE(info.err.find("no answer to the COM port control option"), std::string::npos) << info.err;
    EXPECT_LT(took, 10s);
    ::close(listener);

    // Nobody listening: refused at once, with the reason.
    const CliResult refused = RunCli({"info", "--port", url});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find(url), std::string::npos) << refused.err;
}
