// karvenzop-cli as a user runs it: a process against the decoder simulator
// (a process on a pty) and the local update server.

#include "childprocess.h"
#include "cliprocess.h"
#include "scriptedserver.h"
#include "nginxserver.h"
#include "simprocess.h"
#include "tampering.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const std::regex IsoStamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");

// The members the monitor writes for a telegram, in its order.
const std::regex TelegramObject(
    R"re(\{"time":"([^"]+)","kind":"telegram","identifier":"([^"]{8})","status":"(.)","tactical_info":"(.)",)re"
    R"re("stage":"(.)","direction":"(FZ<-LS|FZ->LS)","text":"([^"]*)","log":"([^"]*)","raw":"([^"]*)"\})re");

// The simulator on a pty link of our choosing, so it can be stopped and
// started again under the same name.
std::unique_ptr<ChildProcess> StartSimAt(const std::string &link, const std::vector<std::string> &extra = {})
{
    std::vector<std::string> argv = {BinDirectory() + "decoder_sim", "--link", link};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto sim = std::make_unique<ChildProcess>(argv);
    EXPECT_NE(sim->WaitForLine("READY"), "");
    return sim;
}

class UpdateServer {
public:
    explicit UpdateServer(const TempDir &root) : UpdateServer(root.Path()) {}
    explicit UpdateServer(const std::string &root)
        : process_({"python3", KZ_UPDATE_SERVER_SCRIPT, "--port", "0", "--root", root})
    {
        port = PortFromLine(process_.WaitForLine("Serving"));
        EXPECT_TRUE(port > 0 && WaitUntilListening(port));
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port); }
    int port = 0;

private:
    ChildProcess process_;
};

} // namespace

TEST(CliDecoder, CommandsPrintWhatTheWindowShows)
{
    SimProcess sim({"--serial", "S-7788"});
    const std::string port = sim.Port();

    CliResult info = RunCli({"info", "--port", port});
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_EQ(info.out, "Serial number: S-7788\nFirmware version: 4.69\nHardware revision: C469-2\n");
    info = RunCli({"info", "--port", port, "--json"});
    EXPECT_EQ(info.out, "{\"serial_number\":\"S-7788\",\"firmware_version\":\"4.69\",\"hardware_revision\":\"C469-2\"}\n");

    // Output that cannot be written ends with 7; a closed stdout is not
    // reused by the port, so nothing meant for stdout reaches the decoder.
    for (const char *redirect : {">/dev/full", ">&-"}) {
        CliProcess shell({"/bin/sh", "-c", std::string("exec \"$0\" \"$@\" ") + redirect, CliPath(), "info", "--port",
                          port});
        EXPECT_EQ(shell.Wait(10000), 7) << redirect << shell.err;
    }
    EXPECT_EQ(sim.Log().find("53 65 72 69 61 6c"), std::string::npos) << sim.Log();   // "Serial"

    // The port from the environment, as the window lists it.
    ::setenv("KARVENZOP_PORTS", port.c_str(), 1);
    const CliResult tones = RunCli({"tones"});
    const CliResult tonesJson = RunCli({"tones", "--json"});
    const CliResult ports = RunCli({"ports"});
    ::unsetenv("KARVENZOP_PORTS");
    EXPECT_EQ(tones.exitCode, 0) << tones.err;
    EXPECT_EQ(tones.err, "karvenzop-cli: using port " + port + "\n");
    EXPECT_EQ(tones.out.substr(0, 36), "Ziffer 1: 1060 Hz\nZiffer 2: 1160 Hz\n");
    EXPECT_NE(tones.out.find("Ziffer R: 2600 Hz\n"), std::string::npos) << tones.out;
    EXPECT_EQ(tonesJson.out, "{\"1\":\"1060\",\"2\":\"1160\",\"3\":\"1270\",\"4\":\"1400\",\"5\":\"1530\",\"6\":\"1670\","
                             "\"7\":\"1830\",\"8\":\"2000\",\"9\":\"2200\",\"0\":\"2400\",\"R\":\"2600\"}\n");
    EXPECT_NE(ports.out.find(port + "\tlink to /dev/pts/"), std::string::npos) << ports.out;

    const CliResult clock = RunCli({"clock", "--port", port});
    const CliResult reset = RunCli({"reset", "--port", port});
    EXPECT_EQ(clock.exitCode, 0) << clock.err;
    EXPECT_TRUE(std::regex_search(clock.out, IsoStamp)) << clock.out;
    EXPECT_EQ(reset.exitCode, 0) << reset.err;
    EXPECT_TRUE(sim.WaitForLog("30 1e 43 1e 43 1e", 5s)) << sim.Log();
    EXPECT_TRUE(sim.WaitForLog("RESET", 5s)) << sim.Log();

    // The window's message texts, through the same catalogue.
    const CliResult missing = RunCli({"info", "--port", "/dev/kz-no-such-port"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "karvenzop-cli: Unable to open com port (win error code: 2)\n"
                           "/dev/kz-no-such-port: " + std::string(std::strerror(ENOENT)) + "\n");
    ::setenv("LANG", "de_DE.UTF-8", 1);
    const CliResult german = RunCli({"clock", "--port", "/dev/kz-no-such-port"});
    ::unsetenv("LANG");
    EXPECT_EQ(german.err.substr(0, german.err.find('\n')),
              "karvenzop-cli: COM-Port kann nicht geöffnet werden (Fehlercode: 2)");
    EXPECT_EQ(RunCli({"info", "--port", ""}).exitCode, 2);

    EXPECT_EQ(RunCli({"info", "--port", port, "--count", "3"}).exitCode, 2);
    // Out of range is refused before it meets a clock or an integer.
    EXPECT_EQ(RunCli({"monitor", "--port", port, "--duration", "1e10"}, {}, 5000).exitCode, 2);
    EXPECT_EQ(RunCli({"monitor", "--port", port, "--count", "1e300"}, {}, 5000).exitCode, 2);
    EXPECT_EQ(RunCli({"launch"}).exitCode, 2);

    const CliResult help = RunCli({"monitor", "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("usage: karvenzop-cli monitor", 0), 0u) << help.out;
}

// An update cut short: the library's reason and exit 4, also when the
// device is lost on the way; the decoder, left in its bootloader, is
// recognised by info, and SIGHUP does not cut a running update.
TEST(CliFlash, InterruptedUpdateEndsWithTheLibrarysReasonAndInfoFindsTheBootloader)
{
    TempDir work;
    const std::string imagePath = work.Path() + "/image.acy";
    WriteFile(imagePath, MakeFirmwareContainer(PatternBytes(6000), "4.70"));
    {
        SimProcess sim({"--fault", "drop-after=2"});
        const CliResult cut = RunCli({"flash", "--port", sim.Port(), "--image", imagePath, "--yes"}, {}, 60000);
        EXPECT_EQ(cut.exitCode, 4) << cut.err;
        const CliResult info = RunCli({"info", "--port", sim.Port()});
        EXPECT_EQ(info.exitCode, 1);
        EXPECT_NE(info.err.find("in its bootloader"), std::string::npos) << info.err;
    }
    SimProcess sim({}, true);
    CliProcess flash({CliPath(), "flash", "--port", sim.Port(), "--image", imagePath, "--yes"});
    std::string line;
    while (flash.ReadLine(line, 20000) && line.find("Writing firmware") == std::string::npos) {
    }
    ASSERT_NE(line.find("Writing firmware"), std::string::npos) << flash.out << flash.err;
    flash.Signal(SIGHUP);
    flash.Signal(SIGQUIT);
    sim.Stop();   // the adapter is pulled
    EXPECT_EQ(flash.Wait(30000), 4) << flash.err;
    EXPECT_EQ(flash.err.find("Unable to open com port"), std::string::npos) << flash.err;
    EXPECT_NE(flash.err.find("karvenzop-cli: "), std::string::npos) << flash.err;
}

TEST(CliCheck, ShowsTheServersVersionsExitsWith100WhenNewerOrNamesTheServerItTried)
{
    TempDir root, config;
    root.WriteFile("karvenzop.txt", "1.0.3\r\n");
    root.WriteFile("karvenfir.txt", "4.70");
    int port = 0;
    {
        UpdateServer server(root);
        port = server.port;
        const CliResult text = RunCli({"check", "--server", server.Address()});
        EXPECT_EQ(text.exitCode, 100) << text.err;
        EXPECT_EQ(text.out, "ZOP Version auf Server: 1.0.3\nZOP Version lokal: 1.0.2\nDekoder Ver. auf Server: 4.70\n"
                            "Newer on the server: tool\n");
        // The server from the window's settings; JSON keeps the reply as sent.
        config.WriteFile("KarvenZop/KarvenZop.conf", "[General]\nUpdateServer=" + server.Address() + "\n");
        ::setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
        root.WriteFile("karvenzop.txt", "1.0.2\r\n");
        const CliResult json = RunCli({"check", "--json"});
        EXPECT_EQ(json.exitCode, 0) << json.err;
        EXPECT_EQ(json.out, "{\"tool_on_server\":\"1.0.2\\r\\n\",\"tool_here\":\"1.0.2\",\"firmware_on_server\":\"4.70\","
                            "\"tool_newer\":false}\n");
        // With the decoder: its 4.69 is older than the server's 4.70.
        SimProcess sim({});
        const CliResult decoder = RunCli({"check", "--port", sim.Port()});
        EXPECT_EQ(decoder.exitCode, 100) << decoder.err;
        EXPECT_NE(decoder.out.find("Dekoder Version lokal: 4.69\nNewer on the server: decoder-firmware\n"),
                  std::string::npos) << decoder.out;
        root.WriteFile("karvenfir.txt", "4.69");
        EXPECT_EQ(RunCli({"check", "--port", sim.Port()}).exitCode, 0);
        root.WriteFile("karvenfir.txt", "<html>");
        const CliResult garbage = RunCli({"check", "--port", sim.Port()});
        EXPECT_EQ(garbage.exitCode, 3);
        EXPECT_EQ(garbage.err, "karvenzop-cli: cannot compare versions: '<html>' is not a version number.\n");
    }
    // The environment wins over the settings; a refused connection names the address tried.
    ::setenv("KARVENZOP_UPDATE_SERVER", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    const CliResult down = RunCli({"check"});
    ::unsetenv("KARVENZOP_UPDATE_SERVER");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(down.exitCode, 3);
    EXPECT_EQ(down.err, "karvenzop-cli: Socket Error # 10061\nConnection refused.\nServer: http://127.0.0.1:" +
                            std::to_string(port) + "/firmware.php?id=karvenzop\n");
    EXPECT_EQ(down.out, "");
}

TEST(CliMonitor, PrintsTelegramsUntilCountDurationOrSignal)
{
    SimProcess sim({"--telegram-interval", "0.05"});
    const std::string port = sim.Port();

    // JSON: one object per line whose fields agree with the log line and the raw line.
    const CliResult json = RunCli({"monitor", "--port", port, "--json", "--count", "4"});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = json.out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(json.out.substr(at, nl - at));
    ASSERT_EQ(lines.size(), 4u) << json.out;
    int telegrams = 0;
    for (const std::string &line : lines) {
        std::smatch m;
        if (!std::regex_match(line, m, TelegramObject))
            continue;   // the decoder's greeting, kind "other"
        ++telegrams;
        EXPECT_TRUE(std::regex_match(m[1].str(), IsoStamp)) << line;
        std::string log = "R1: " + m[2].str() + " S:" + m[3].str() + " TKI:" + m[4].str() + " BS:" + m[5].str() +
                          " " + m[6].str() + " ";
        if (!m[7].str().empty())
            log += "T: " + m[7].str();
        EXPECT_EQ(m[8].str(), log);
        EXPECT_EQ(m[9].str().rfind("1\\u001eR\\u001e2\\u001e" + m[2].str() + "\\u001e" + m[3].str(), 0), 0u) << line;
    }
    EXPECT_GE(telegrams, 3);

    // Text: the window's log line after the time; ends by itself after the duration.
    const auto started = std::chrono::steady_clock::now();
    const CliResult text = RunCli({"monitor", "--port", port, "--duration", "0.6"});
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_GE(took, 600ms);
    EXPECT_LT(took, 5s);
    EXPECT_TRUE(std::regex_search(text.out, std::regex("\n?" "\\d{4}-[^ ]+ R1: [^\n]{8} S:. TKI:. BS:. FZ[<-]-?>?"))) << text.out;

    // Ctrl+C and SIGTERM end it cleanly.
    for (int signal : {SIGINT, SIGTERM}) {
        CliProcess monitor({CliPath(), "monitor", "--port", port});
        std::string line;
        ASSERT_TRUE(monitor.ReadLine(line, 5000)) << monitor.err;
        monitor.Signal(signal);
        EXPECT_EQ(monitor.Wait(5000), 0) << "signal " << signal << ": " << monitor.err;
        EXPECT_EQ(monitor.err, "");
    }
}

TEST(CliMonitor, StopsAndCountsDroppedLinesWhenNobodyReadsTheOutput)
{
    SimProcess sim({"--telegram-interval", "0.02"});
    TempDir dir;
    const std::string fifo = dir.Path() + "/out";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open and never read; the smallest pipe fills within a second.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ::fcntl(reader, F_SETPIPE_SZ, 4096);
    CliProcess monitor({"/bin/sh", "-c", "exec \"$0\" monitor --port \"$1\" --json > \"$2\"", CliPath(), sim.Port(),
                        fifo});
    std::this_thread::sleep_for(3s);
    monitor.Signal(SIGTERM);
    EXPECT_EQ(monitor.Wait(1000), 0) << monitor.err;
    EXPECT_TRUE(std::regex_match(monitor.err,
                                 std::regex("karvenzop-cli: [1-9][0-9]* lines dropped: the output was not read\\.\n")))
        << monitor.err;
    ::close(reader);
}

TEST(CliMonitor, WaitsForTheDeviceBeforeTheStartAndAfterALoss)
{
    TempDir dir;
    const std::string link = dir.Path() + "/ttyKARVEN0";
    const std::regex deviceEvent(R"re(\{"time":"([^"]+)","kind":"(device-lost|device-back)","port":"([^"]+)"\})re");
    auto expectEvent = [&](CliProcess &monitor, const std::string &kind) {
        std::string line;
        std::smatch m;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline && monitor.ReadLine(line, 5000))
            if (std::regex_match(line, m, deviceEvent) && m[2] == kind) {
                EXPECT_TRUE(std::regex_match(m[1].str(), IsoStamp)) << line;
                EXPECT_EQ(m[3].str(), link);
                return;
            }
        ADD_FAILURE() << "no " << kind << " event; stderr: " << monitor.err;
    };

    // Started before the adapter is plugged in.
    CliProcess monitor({CliPath(), "monitor", "--port", link, "--json"});
    expectEvent(monitor, "device-lost");
    auto sim = StartSimAt(link, {"--telegram-interval", "0.05"});
    expectEvent(monitor, "device-back");
    std::string line;
    ASSERT_TRUE(monitor.ReadLine(line, 5000)) << monitor.err;

    sim.reset();   // the adapter is pulled
    expectEvent(monitor, "device-lost");
    sim = StartSimAt(link, {"--telegram-interval", "0.05"});
    expectEvent(monitor, "device-back");
    // Lines read before the return may still be buffered: the event orders them.
    ASSERT_TRUE(monitor.ReadLine(line, 5000)) << monitor.err;
    EXPECT_TRUE(std::regex_search(line, IsoStamp)) << line;
    monitor.Signal(SIGINT);
    EXPECT_EQ(monitor.Wait(5000), 0);
    const std::string lost = "karvenzop-cli: " + link + ": the device is gone; waiting for it to return.\n";
    const std::string back = "karvenzop-cli: " + link + ": the device is back.\n";
    EXPECT_EQ(monitor.err, lost + back + lost + back);
}

// Signed downloads on the local server, the simulator, and a fresh working
// folder for the run, left again at the end.
class CliSignedFlash : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(updates.Made());
        ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
        ASSERT_EQ(::chdir(work.Path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(::chdir(previous), 0); }

    const std::string image = PatternBytes(6000);
    SignedUpdates updates {image};
    UpdateServer server {updates.Content()};
    SimProcess sim {{}};
    TempDir work;
    char previous[4096] = {};
};

TEST_F(CliSignedFlash, AsksAfterTheDownloadNamingImageDecoderAndSigner)
{

    const CliResult refused =
        RunCli({"flash", "--port", sim.Port(), "--server", server.Address()}, "n\n");
    EXPECT_EQ(refused.exitCode, 4);
    EXPECT_NE(refused.err.find("Firmware image: target KARVEN-C469, version 4.70, signed with key " + updates.KeyId()
                               + "\nDecoder on " + sim.Port() + ": version 4.69\nWrite the image into the decoder on "
                               + sim.Port() + "? [y/N] "),
              std::string::npos) << refused.err;
    EXPECT_EQ(refused.err.substr(refused.err.find("karvenzop-cli:")),
              "karvenzop-cli: the firmware update was refused.\n");
    EXPECT_FALSE(FileExists(work.Path() + "/firmware.acy"));
    EXPECT_FALSE(FileExists(sim.DumpPath()));

    const CliResult flashed = RunCli({"flash", "--port", sim.Port(), "--server", server.Address(), "--yes",
                                      "--save-dir", "saved/here"}, {}, 60000);
    EXPECT_EQ(flashed.exitCode, 0) << flashed.err;
    EXPECT_TRUE(ReadFile(sim.DumpPath()) == image) << sim.Log();
    // Saved where it was told, and it says where.
    const std::string saved = work.Path() + "/saved/here/firmware.acy";
    EXPECT_NE(flashed.out.find("Firmware saved as " + saved + "\n"), std::string::npos) << flashed.out;
    EXPECT_TRUE(FileExists(saved));
    EXPECT_FALSE(FileExists(work.Path() + "/firmware.acy"));
    // Not a terminal: plain progress lines, the window's log lines and its final status text.
    EXPECT_NE(flashed.out.find("Connection                     : 2-Wire\n"), std::string::npos) << flashed.out;
    EXPECT_NE(flashed.out.find("Writing firmware: 50 %"), std::string::npos) << flashed.out;
    EXPECT_EQ(flashed.out.find('\r'), std::string::npos);
    EXPECT_EQ(flashed.out.substr(flashed.out.size() - 26), "\nFirmware OK\nFirmware OK.\n");
    EXPECT_EQ(flashed.err.find("karvenzop-cli:"), std::string::npos) << flashed.err;
    EXPECT_EQ(AskDecoder(sim.Port(), "GF"), "0\x1e" "C\x1e" "GF\x1e" "4.70\n");
}

TEST_F(CliSignedFlash, RefusesTamperedDownloadsAndLeavesTheDecoderAlone)
{

    for (const TamperCase &tamper : updates.Cases()) {
        SCOPED_TRACE(tamper.name);
        TamperProxy proxy(server.port, tamper.proxyArgs);
        ASSERT_GT(proxy.Port(), 0);
        const std::string address = "127.0.0.1:" + std::to_string(proxy.Port());
        const CliResult result = RunCli({"flash", "--port", sim.Port(), "--server", address, "--yes"}, {}, 60000);
        EXPECT_EQ(result.exitCode, 4) << result.err;
        std::string reason = tamper.refusal;
        if (tamper.unsigned_)
            reason = "karvenc469.acy has no signature on the server; --allow-unsigned writes it after a question";
        if (tamper.downgrade)
            reason = "the image's version 4.60 is older than the decoder's 4.69; --allow-downgrade writes it after a question";
        // One line, naming the reason.
        const size_t line = result.err.find("karvenzop-cli: " + reason);
        EXPECT_NE(line, std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("karvenzop-cli:", line + 1), std::string::npos) << result.err;
        if (!tamper.informative.empty())
            EXPECT_NE(result.err.find(reason + "\n" + tamper.informative + "\n"), std::string::npos) << result.err;
        // Allowed, the question is still asked, --yes or not.
        if (tamper.unsigned_ || tamper.downgrade) {
            const CliResult asked = RunCli({"flash", "--port", sim.Port(), "--server", address, "--yes",
                                            tamper.unsigned_ ? "--allow-unsigned" : "--allow-downgrade"},
                                           "n\n", 60000);
            EXPECT_EQ(asked.exitCode, 4);
            EXPECT_NE(asked.err.find(tamper.unsigned_ ? ", NOT SIGNED\n" : "Go back from version 4.69 to the older 4.60? [y/N]"),
                      std::string::npos) << asked.err;
        }
    }

    // (g) A certificate for another host, or an expired one.
    TestCa ca(work.Path(), "test-ca");
    Nginx nginx(work, {ca.Issue("other", "DNS:other.example"), ca.Issue("expired", "IP:127.0.0.1", -1)});
    if (nginx.Started()) {
        ::setenv("SSL_CERT_FILE", ca.CaFile().c_str(), 1);
        const CliResult other = RunCli({"flash", "--port", sim.Port(), "--server", nginx.Url("", 0), "--yes"});
        EXPECT_EQ(other.exitCode, 3);
        EXPECT_NE(other.err.find("The server's certificate is not for 127.0.0.1."), std::string::npos) << other.err;
        const CliResult expired = RunCli({"flash", "--port", sim.Port(), "--server", nginx.Url("", 1), "--yes"});
        EXPECT_EQ(expired.exitCode, 3);
        EXPECT_NE(expired.err.find("The certificate of 127.0.0.1 has expired or is not valid yet."), std::string::npos)
            << expired.err;
        ::unsetenv("SSL_CERT_FILE");
    }

    EXPECT_FALSE(FileExists(work.Path() + "/firmware.acy"));
    EXPECT_FALSE(FileExists(sim.DumpPath()));
    EXPECT_EQ(AskDecoder(sim.Port(), "GF"), "0\x1e" "C\x1e" "GF\x1e" "4.69\n");
}
