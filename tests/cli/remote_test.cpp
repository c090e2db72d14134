// karvenzop-cli on a decoder behind a serial device server: the simulator's
// pty served by Debian's ser2net and by pyserial's example server, reached
// as rfc2217://127.0.0.1:PORT.

#include "brokertestsupport.h"
#include "cliprocess.h"
#include "remoteservers.h"
#include "simprocess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

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

TEST(RemotePort, TlsFormIsCheckedAgainstTheTrustStore)
{
    TempDir work;
    TestCa ca(work.Path(), "remote-test-ca");
    ASSERT_TRUE(ca.Made());
    const NginxSite site = ca.Issue("ser2net", "IP:127.0.0.1");
    SimProcess sim({"--serial", "T-4433"});
    DeviceServer secure(DeviceServer::Ser2net, sim.Port(), 0, &site);
    DeviceServer plain(DeviceServer::Ser2net, sim.Port());
    const std::string port = std::to_string(secure.Port());

    // Not trusted without the private CA.
    ::setenv("SSL_CERT_FILE", "/dev/null", 1);
    const CliResult unknown = RunCli({"info", "--port", secure.Url()});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.err.find("certificate"), std::string::npos) << unknown.err;

    ::setenv("SSL_CERT_FILE", ca.CaFile().c_str(), 1);
    const CliResult info = RunCli({"info", "--port", secure.Url()});
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_NE(info.out.find("Serial number: T-4433"), std::string::npos) << info.err;
    // The bootloader library reaches the decoder through the same TLS.
    const std::string image = PatternBytes(8192);
    const CliResult flashed =
        RunCli({"flash", "--port", secure.Url(), "--image", FirmwareFile(work, image), "--yes"}, {}, 60000);
    EXPECT_EQ(flashed.exitCode, 0) << flashed.err;
    EXPECT_TRUE(ReadFile(sim.DumpPath()) == image) << "the simulator's flash differs from the image";

    // The certificate is for 127.0.0.1, not for "localhost".
    const CliResult wrongHost = RunCli({"info", "--port", "rfc2217+tls://localhost:" + port});
    EXPECT_EQ(wrongHost.exitCode, 1);
    EXPECT_NE(wrongHost.err.find("localhost"), std::string::npos) << wrongHost.err;
    EXPECT_EQ(wrongHost.out, "");

    // A plain server where TLS was asked for is refused, not spoken to in clear.
    const CliResult clear = RunCli({"info", "--port", "rfc2217+tls://127.0.0.1:" + std::to_string(plain.Port())});
    EXPECT_EQ(clear.exitCode, 1);
    EXPECT_EQ(clear.out, "");
    EXPECT_NE(clear.err.find("rfc2217+tls://127.0.0.1:"), std::string::npos) << clear.err;
    ::unsetenv("SSL_CERT_FILE");
}

TEST(RemotePort, ServerAskingForAClientCertificateGetsTheOneConfigured)
{
    TempDir work;
    TestCa ca(work.Path(), "remote-test-ca");
    ASSERT_TRUE(ca.Made());
    const NginxSite site = ca.Issue("ser2net", "IP:127.0.0.1");
    const NginxSite technician = ca.Issue("tech", "DNS:tech");
    // ser2net takes the certificate's name as the user and trusts what that
    // user's folder holds.
    const std::string allowed = work.Path() + "/auth/tech/allowed_certs";
    ASSERT_EQ(std::system(("mkdir -p " + allowed + " && cp " + ca.CaFile() + " " + allowed +
                           " && openssl rehash " + allowed).c_str()), 0);
    SimProcess sim({"--serial", "C-5151"});
    DeviceServer server(DeviceServer::Ser2net, sim.Port(), 0, &site, work.Path() + "/auth");
    ::setenv("SSL_CERT_FILE", ca.CaFile().c_str(), 1);

    const CliResult without = RunCli({"info", "--port", server.Url()});
    EXPECT_EQ(without.exitCode, 1);
    EXPECT_EQ(without.out, "");
    EXPECT_NE(without.err.find("KARVENZOP_CLIENT_CERT"), std::string::npos) << without.err;

    ::setenv("KARVENZOP_CLIENT_CERT", technician.certificate.c_str(), 1);
    ::setenv("KARVENZOP_CLIENT_KEY", technician.key.c_str(), 1);
    const CliResult with = RunCli({"info", "--port", server.Url()});
    EXPECT_EQ(with.exitCode, 0) << with.err;
    EXPECT_NE(with.out.find("Serial number: C-5151"), std::string::npos) << with.err;

    // A key behind a passphrase is refused with its file named, not asked for.
    const std::string locked = work.Path() + "/locked.key";
    ASSERT_EQ(std::system(("openssl pkey -in " + technician.key + " -aes256 -passout pass:secret -out " + locked)
                              .c_str()), 0);
    ::setenv("KARVENZOP_CLIENT_KEY", locked.c_str(), 1);
    const CliResult lockedKey = RunCli({"info", "--port", server.Url()});
    EXPECT_EQ(lockedKey.exitCode, 1);
    EXPECT_NE(lockedKey.err.find(locked), std::string::npos) << lockedKey.err;
    for (const char *name : {"KARVENZOP_CLIENT_CERT", "KARVENZOP_CLIENT_KEY", "SSL_CERT_FILE"})
        ::unsetenv(name);
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
