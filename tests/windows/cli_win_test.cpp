// karvenzop-cli.exe as a user runs it, as a process with its own pipes,
// under wine: the COM ports are the ones scripts/windows/test-windows.sh
// maps (a socat pair, the decoder simulator) and registers.
#include "karvenzop_config.h"
#include "laneenv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include <windows.h>

namespace {

std::string ProgramFolder()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

// karvenzop-cli.exe from beside this program; stdin gets `input` and then
// its end, stdout and stderr are collected as they come.
class CliProcess {
public:
    explicit CliProcess(const std::string &args, const std::string &input = {}, DWORD flags = 0)
    {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE in[2], out[2], err[2];
        CreatePipe(&in[0], &in[1], &inherit, 0);
        CreatePipe(&out[0], &out[1], &inherit, 0);
        CreatePipe(&err[0], &err[1], &inherit, 0);
        for (HANDLE ours : {in[1], out[0], err[0]})
            SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in[0];
        startup.hStdOutput = out[1];
        startup.hStdError = err[1];
        std::string command = "\"" + ProgramFolder() + "karvenzop-cli.exe\" " + args;
        started_ = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup,
                                  &process_);
        for (HANDLE theirs : {in[0], out[1], err[1]})
            CloseHandle(theirs);
        DWORD put = 0;
        if (started_ && !input.empty())
            WriteFile(in[1], input.data(), static_cast<DWORD>(input.size()), &put, nullptr);
        CloseHandle(in[1]);
        readers_[0] = std::thread([this, pipe = out[0]] { Drain(pipe, out_); });
        readers_[1] = std::thread([this, pipe = err[0]] { Drain(pipe, err_); });
    }
    ~CliProcess()
    {
        Wait(0);
        if (started_) {
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
    }

    bool Started() const { return started_; }
    DWORD Id() const { return process_.dwProcessId; }
    std::string Out() const
    {
        std::lock_guard lock(mutex_);
        return out_;
    }
    std::string Err() const
    {
        std::lock_guard lock(mutex_);
        return err_;
    }

    // The exit code, or -1 when it did not end in time (it is ended then).
    int Wait(int timeoutMs)
    {
        DWORD code = static_cast<DWORD>(-1);
        if (started_ && WaitForSingleObject(process_.hProcess, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) {
            TerminateProcess(process_.hProcess, code);
            WaitForSingleObject(process_.hProcess, INFINITE);
        } else if (started_) {
            GetExitCodeProcess(process_.hProcess, &code);
        }
        for (std::thread &reader : readers_)
            if (reader.joinable())
                reader.join();
        return static_cast<int>(code);
    }

private:
    void Drain(HANDLE pipe, std::string &into)
    {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            std::lock_guard lock(mutex_);
            into.append(buffer, got);
        }
        CloseHandle(pipe);
    }

    bool started_ = false;
    PROCESS_INFORMATION process_{};
    mutable std::mutex mutex_;
    std::string out_, err_;
    std::thread readers_[2];
};

struct Result {
    int exitCode;
    std::string out, err;
};

Result RunCli(const std::string &args, const std::string &input = {})
{
    CliProcess cli(args, input);
    EXPECT_TRUE(cli.Started()) << args;
    const int code = cli.Wait(20000);
    return {code, cli.Out(), cli.Err()};
}

// Ctrl+C reaches every process of a console, so a test takes one of its
// own, shares it with the program and lets the event pass itself by; the
// peer is the other end of the program's COM port.
struct ConsoleWithPeer {
    explicit ConsoleWithPeer(const std::string &peerName)
    {
        FreeConsole();
        EXPECT_TRUE(AllocConsole()) << GetLastError();
        SetConsoleCtrlHandler(PassBy, TRUE);
        peer = CreateFileA(("\\\\.\\" + peerName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
    }
    ~ConsoleWithPeer()
    {
        if (peer != INVALID_HANDLE_VALUE)
            CloseHandle(peer);
        SetConsoleCtrlHandler(PassBy, FALSE);
    }
    static BOOL WINAPI PassBy(DWORD type) { return type == CTRL_C_EVENT; }
    HANDLE peer = INVALID_HANDLE_VALUE;
};

} // namespace

// The lines end as on Linux: "\n" alone, also through a pipe.
TEST(WinCli, ShowsItsVersionAndTheRegisteredPorts)
{
    const Result version = RunCli("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "karvenzop-cli " KZ_VERSION "\n");

    REQUIRE_ENV(port, "KZ_WIN_PORT");
    // The lane registers COM5 as "KarvenTest5": without a device manager
    // entry, the registry's name for the port stands beside it.
    const std::string name = "KarvenTest" + port.substr(3);
    const Result ports = RunCli("ports");
    EXPECT_EQ(ports.exitCode, 0) << ports.err;
    EXPECT_NE(("\n" + ports.out).find("\n" + port + "\t" + name + "\n"), std::string::npos) << ports.out;
    EXPECT_EQ(ports.out.find('\r'), std::string::npos) << ports.out;
    const Result json = RunCli("ports --json");
    EXPECT_NE(json.out.find("{\"port\":\"" + port + "\",\"description\":\"" + name + "\"}\n"), std::string::npos)
        << json.out;
    // Several ports and no --port: pointed at the list, not at a Linux variable.
    const Result unnamed = RunCli("info");
    EXPECT_EQ(unnamed.exitCode, 2);
    EXPECT_EQ(unnamed.err.rfind("karvenzop-cli: no port given: use --port (karvenzop-cli ports lists the COM ports)", 0),
              0u) << unnamed.err;
}

TEST(WinCli, ReadsTheDecoderOnTheSimulatorPort)
{
    REQUIRE_ENV(port, "KZ_WIN_SIM_PORT");
    const Result info = RunCli("info --port " + port);
    EXPECT_EQ(info.exitCode, 0) << info.err;
    // The firmware version depends on whether the simulator was updated before.
    EXPECT_TRUE(std::regex_match(info.out, std::regex("Serial number: A1234\nFirmware version: [0-9.]+\n"
                                                      "Hardware revision: C469-2\n")))
        << info.out;
}

// The answer to the question comes through a pipe, with a Windows line end.
TEST(WinCli, FlashTakesAPipedAnswer)
{
    REQUIRE_ENV(port, "KZ_WIN_SIM_PORT");
    REQUIRE_ENV(image, "KZ_WIN_SIM_FIRMWARE");
    const Result no = RunCli("flash --port " + port + " --image " + image, "n\r\n");
    EXPECT_EQ(no.exitCode, 4) << no.err;
    EXPECT_NE(no.err.find("karvenzop-cli: the firmware update was refused.\n"), std::string::npos) << no.err;
    // A missing image is reported as a local file, before the port is touched.
    const Result missing = RunCli("flash --port COM42 --image missing.acy", "y\r\n");
    EXPECT_EQ(missing.exitCode, 6);
    const std::string message = missing.err.substr(std::min(missing.err.find("karvenzop-cli: "), missing.err.size()));
    EXPECT_NE(message.find("missing.acy"), std::string::npos) << missing.err;
}

// A downloaded image goes into the user's data folder, not into the
// program's (below "Program Files", not the user's to write), and the
// command says where.
TEST(WinCli, FlashSavesTheDownloadInTheUsersDataFolder)
{
    REQUIRE_ENV(port, "KZ_WIN_SIM_PORT");
    REQUIRE_ENV(firmware, "KZ_WIN_SIM_FIRMWARE");
    REQUIRE_ENV(httpPort, "KZ_WIN_HTTP_PORT");
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string appData = std::string(temp) + "kz-win-appdata-" + std::to_string(GetCurrentProcessId());
    const std::string previous = Env("APPDATA");
    SetEnvironmentVariableA("APPDATA", appData.c_str());
    CliProcess cli("flash --port " + port + " --server 127.0.0.1:" + httpPort + " --yes --allow-unsigned", "y\r\n");
    SetEnvironmentVariableA("APPDATA", previous.c_str());
    EXPECT_EQ(cli.Wait(100000), 0) << cli.Err();
    const std::string saved = appData + "\\KarvenZop\\firmware.acy";
    EXPECT_NE(cli.Out().find("Firmware saved as " + saved + "\n"), std::string::npos) << cli.Out();
    auto bytes = [](const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_TRUE(!bytes(firmware).empty() && bytes(saved) == bytes(firmware));
    EXPECT_EQ(GetFileAttributesA("firmware.acy"), INVALID_FILE_ATTRIBUTES);
    DeleteFileA(saved.c_str());
}

// The port that cannot be opened is named with the plain reason, in the
// user's language, under the designed message.
TEST(WinCli, AnAbsentPortIsNamedWithItsReason)
{
    SetEnvironmentVariableA("LANG", "de_DE.UTF-8");
    const Result absent = RunCli("info --port COM42");
    SetEnvironmentVariableA("LANG", nullptr);
    EXPECT_EQ(absent.exitCode, 1) << absent.err;
    EXPECT_EQ(absent.err, "karvenzop-cli: COM-Port kann nicht ge\xc3\xb6" "ffnet werden (Windows-Fehlercode: 2)\n"
                          "COM42: nicht vorhanden\n");
}

// Ctrl+C reaches every process of a console, so the test takes one of its
// own, shares it with the program and lets the event pass itself by. (Wine
// cannot send Ctrl+Break to a process group, and ends a process that does
// not handle Ctrl+C with exit code 0.)
TEST(WinCli, CtrlCEndsTheMonitorAndAPendingRead)
{
    REQUIRE_ENV(port, "KZ_WIN_PORT");
    REQUIRE_ENV(peerName, "KZ_WIN_PEER");
    ConsoleWithPeer console(peerName);
    const HANDLE peer = console.peer;
    ASSERT_NE(peer, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 100, 0, 2000};
    SetCommTimeouts(peer, &timeouts);

    CliProcess monitor("monitor --json --port " + port);
    // Lines sent before the monitor has the port open may go nowhere: send until one shows.
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((out = monitor.Out()).find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        DWORD put = 0;
        WriteFile(peer, "hello\r", 6, &put, nullptr);
        Sleep(200);
    }
    EXPECT_TRUE(std::regex_match(out.substr(0, out.find('\n')),
                                 std::regex(R"(\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d",)"
                                            R"("kind":"other","log":[^,]+,"raw":"hello"\})")))
        << out << monitor.Err();
    EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
    EXPECT_EQ(monitor.Wait(5000), 0);
    EXPECT_EQ(monitor.Err(), "");

    // No decoder answers here: once the request has gone out, the read waits.
    CliProcess info("info --port " + port);
    char request[64];
    DWORD got = 0;
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(ReadFile(peer, request, sizeof request, &got, nullptr) && got > 0) &&
           std::chrono::steady_clock::now() < deadline) {
    }
    EXPECT_GT(got, 0u);
    EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
    EXPECT_EQ(info.Wait(5000), 1);
    EXPECT_EQ(info.Err(), "karvenzop-cli: interrupted.\n");
}

// monitor --publish to the Linux mosquitto the lane runs on 127.0.0.1: a
// telegram sent on the peer port arrives at the lane's subscriber with the
// station and its number, and Ctrl+C leaves "offline" behind.
TEST(WinCli, MonitorPublishesToTheLinuxBroker)
{
    REQUIRE_ENV(port, "KZ_WIN_PORT");
    REQUIRE_ENV(peerName, "KZ_WIN_PEER");
    REQUIRE_ENV(mqttPort, "KZ_WIN_MQTT_PORT");
    REQUIRE_ENV(received, "KZ_WIN_MQTT_RECEIVED");
    auto receivedText = [&] {
        std::ifstream in(received, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    ConsoleWithPeer console(peerName);
    const HANDLE peer = console.peer;
    ASSERT_NE(peer, INVALID_HANDLE_VALUE);
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string spool = std::string(temp) + "kz-win-spool-" + std::to_string(GetCurrentProcessId());

    CliProcess monitor("monitor --port " + port + " --publish mqtt://127.0.0.1:" + mqttPort +
                       "/kz --station win --spool " + spool);
    const std::string telegram = "1\x1eR\x1e" "2\x1e" "61234521\x1e" "3\x1e" "0\x1e" "1\x1e" "1\n\r";
    // The spool's epoch stands between the station and the number.
    const std::regex published(R"(kz/win/telegram \{"station":"win","epoch":"[0-9a-f]+","seq":1,)");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::regex_search(receivedText(), published) && std::chrono::steady_clock::now() < deadline) {
        DWORD put = 0;
        WriteFile(peer, telegram.data(), static_cast<DWORD>(telegram.size()), &put, nullptr);
        Sleep(300);
    }
    const std::string text = receivedText();
    EXPECT_NE(text.find("kz/win/status online"), std::string::npos) << text << monitor.Err();
    EXPECT_TRUE(std::regex_search(text, published)) << text << monitor.Err();
    EXPECT_NE(text.find("\"identifier\":\"61234521\""), std::string::npos) << text;

    EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
    EXPECT_EQ(monitor.Wait(10000), 0) << monitor.Err();
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (receivedText().find("kz/win/status offline") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        Sleep(100);
    EXPECT_NE(receivedText().find("kz/win/status offline"), std::string::npos) << receivedText();

    // No TLS in this build's MQTT library: refused at start, never sent in plain text.
    const Result tls = RunCli("watch mqtts://127.0.0.1:" + mqttPort + "/kz");
    EXPECT_EQ(tls.exitCode, 2);
    EXPECT_NE(tls.err.find("mqtts:// is not available"), std::string::npos) << tls.err;
}

namespace {

// The lane's ports in front of its second simulator: ser2net plain, TLS
// with the lane CA's certificate, TLS with one signed by nobody known, TLS
// that asks for a client certificate, and a proxy to the plain one that
// cuts the link after 12000 bytes. The sixth, a proxy that drops the link
// on demand, is DroppingRemotePort().
struct RemotePorts {
    std::string plain, tls, stranger, clientAuth, cutting;
    bool Read()
    {
        std::istringstream ports(Env("KZ_WIN_REMOTE_PORTS"));
        return static_cast<bool>(ports >> plain >> tls >> stranger >> clientAuth >> cutting);
    }
};

std::string FileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

// Reading and the firmware update through the bootloader library (its baud
// switch going through the device server, four pages in flight), both on
// the decoder behind ser2net on the Linux host; a link cut mid-flash is a
// lost device, and the next run completes the update.
TEST(WinCli, ReadsAndFlashesADecoderBehindADeviceServer)
{
    REQUIRE_ENV(dump, "KZ_WIN_REMOTE_DUMP");
    REQUIRE_ENV(firmware, "KZ_WIN_SIM_FIRMWARE");
    REQUIRE_ENV(image, "KZ_WIN_SIM_IMAGE");
    RemotePorts remote;
    ASSERT_TRUE(remote.Read());
    const std::string port = "rfc2217://127.0.0.1:" + remote.plain;
    const Result info = RunCli("info --port " + port);
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_TRUE(std::regex_match(info.out, std::regex("Serial number: A1234\nFirmware version: [0-9.]+\n"
                                                      "Hardware revision: C469-2\n")))
        << info.out;

    const Result cut = RunCli("flash --port rfc2217://127.0.0.1:" + remote.cutting + " --image " + firmware + " --yes");
    EXPECT_EQ(cut.exitCode, 4) << cut.out << cut.err;
    EXPECT_NE(cut.err.find("was lost"), std::string::npos) << cut.err;

    CliProcess flash("flash --port " + port + " --image " + firmware + " --yes");
    EXPECT_EQ(flash.Wait(100000), 0) << flash.Out() << flash.Err();
    EXPECT_TRUE(!FileBytes(image).empty() && FileBytes(dump) == FileBytes(image))
        << "the simulator's flash differs from the image";
}

// The station monitor on a decoder behind a device server: the dropped
// link is a lost device, and the monitor carries on once the link is back.
TEST(WinCli, MonitorThroughADeviceServerComesBackAfterTheLinkDrops)
{
    REQUIRE_ENV(drop, "KZ_WIN_REMOTE_DROP");
    auto waitFor = [](const std::function<bool()> &done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < deadline)
            Sleep(100);
        return done();
    };
    CliProcess monitor("monitor --port " + DroppingRemotePort() + " --json --duration 12");
    // Time to open the port first.
    Sleep(3000);
    std::ofstream(drop).put('\n');
    EXPECT_TRUE(waitFor([&] { return monitor.Out().find("\"kind\":\"device-lost\"") != std::string::npos; }))
        << monitor.Out() << monitor.Err();
    DeleteFileA(drop.c_str());
    EXPECT_TRUE(waitFor([&] { return monitor.Out().find("\"kind\":\"device-back\"") != std::string::npos; }))
        << monitor.Out() << monitor.Err();
    EXPECT_EQ(monitor.Wait(20000), 0) << monitor.Err();
    EXPECT_EQ(monitor.Out().find("device-lost"), monitor.Out().rfind("device-lost")) << "lost more than once";
}

// The TLS form is checked by the system's TLS against the user's trust,
// carries the firmware update too, and shows the client certificate set
// for a server that asks for one.
TEST(WinCli, ReadsAndFlashesADecoderBehindADeviceServerOverTls)
{
    REQUIRE_ENV(dump, "KZ_WIN_REMOTE_DUMP");
    REQUIRE_ENV(firmware, "KZ_WIN_SIM_FIRMWARE");
    REQUIRE_ENV(image, "KZ_WIN_SIM_IMAGE");
    REQUIRE_ENV(ca, "KZ_WIN_TLS_CA");
    REQUIRE_ENV(certificate, "KZ_WIN_CLIENT_CERT");
    REQUIRE_ENV(key, "KZ_WIN_CLIENT_KEY");
    RemotePorts remote;
    ASSERT_TRUE(remote.Read());
    ASSERT_TRUE(TrustCa(ca));
    const Result info = RunCli("info --port rfc2217+tls://localhost:" + remote.tls);
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_EQ(info.out.rfind("Serial number: A1234\n", 0), 0u) << info.out;
    // The plain test's dump must not stand in for this one.
    DeleteFileA(dump.c_str());
    CliProcess flash("flash --port rfc2217+tls://localhost:" + remote.tls + " --image " + firmware + " --yes");
    EXPECT_EQ(flash.Wait(100000), 0) << flash.Out() << flash.Err();
    EXPECT_TRUE(!FileBytes(image).empty() && FileBytes(dump) == FileBytes(image))
        << "the simulator's flash differs from the image";

    const Result unknown = RunCli("info --port rfc2217+tls://localhost:" + remote.stranger);
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.out, "");
    EXPECT_NE(unknown.err.find("rfc2217+tls://localhost:" + remote.stranger), std::string::npos) << unknown.err;
    EXPECT_NE(unknown.err.find("certificate"), std::string::npos) << unknown.err;

    const std::string asking = "info --port rfc2217+tls://localhost:" + remote.clientAuth;
    const Result without = RunCli(asking);
    EXPECT_EQ(without.exitCode, 1) << without.out;
    SetEnvironmentVariableA("KARVENZOP_CLIENT_CERT", certificate.c_str());
    SetEnvironmentVariableA("KARVENZOP_CLIENT_KEY", key.c_str());
    const Result with = RunCli(asking);
    SetEnvironmentVariableA("KARVENZOP_CLIENT_CERT", nullptr);
    SetEnvironmentVariableA("KARVENZOP_CLIENT_KEY", nullptr);
    EXPECT_EQ(with.exitCode, 0) << with.err;
    EXPECT_EQ(with.out.rfind("Serial number: A1234\n", 0), 0u) << with.out;
}
