// The real library (loaded with dlopen) against decoder_sim on a pty.

#include "bootloaderlibrary.h"
#include "simprocess.h"
#include "testhost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>

#include <csignal>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

std::string RandomImage(size_t n, unsigned seed)
{
    std::mt19937 random(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(random() & 0xFF);
    return s;
}

// Makes the container with the mkfirmware tool, as a release would.
std::string MakeFirmware(const std::string &dir, const std::string &image, const std::string &version)
{
    const std::string in = dir + "/image.bin";
    const std::string out = dir + "/firmware.acy";
    WriteFile(in, image);
    const std::string command = BinDirectory() + "mkfirmware --target KARVEN-C469 --version " + version + " '" + in +
                                "' '" + out + "' > /dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return out;
}

struct Session {
    explicit Session(const SimProcess &sim) : host(sim.Port())
    {
        loader = BootloaderLibrary::Default().OpenBootloader(&host);
        host.loader = loader.get();
    }
    ~Session() { host.loader = nullptr; }
    TestHost host;
    IntfPtr<IBootloader> loader;
};

std::string MessageOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const Exception &e) {
        return e.Message();
    }
    return "(no exception)";
}

// The port is free again: another program can open and lock it.
bool PortIsFree(const std::string &port)
{
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return locked;
}

} // namespace

TEST(BootloaderRun, ProgramsTheImageByteForByteAndStartsTheNewFirmware)
{
    SimProcess sim({});
    Session s(sim);
    // Not a whole number of pages, so the last frame is short.
    const std::string image = RandomImage(40000 + 77, 1);
    s.host.firmwareFile = MakeFirmware(sim.Directory(), image, "4.70");

    SendEntryCommand(sim.Port());
    ASSERT_TRUE(sim.WaitForLog("RESET", 10s));
    ASSERT_NE(s.loader->Connect(-1), 0) << s.host.AllOutput() << sim.Log();
    EXPECT_EQ(s.loader->GetState(), kStateConnected);
    {
        IntfPtr<IBootloaderDevice> device = IntfPtr<IBootloaderDevice>::Adopt(s.loader->GetDevice());
        EXPECT_EQ(Utf8FromWide(device->GetTarget()), "KARVEN-C469");
        EXPECT_EQ(device->GetPageSize(), 256);
        EXPECT_EQ(device->GetFlags(), 1);
        EXPECT_EQ(Utf8FromWide(device->GetInfo()), "KARVEN radio-status decoder");
        EXPECT_EQ(Utf8FromWide(device->GetFirmwareVersion()), "4.69");
        IntfPtr<IBootloaderLink> link = IntfPtr<IBootloaderLink>::Adopt(s.loader->GetLink());
        ASSERT_TRUE(link);
        EXPECT_EQ(link->IsOneWire(), 0);
        EXPECT_EQ(link->GetBaudRate(), 19200);
    }

    s.loader->Program(-1, -1);
    EXPECT_EQ(s.loader->GetProgress(), 100);
    EXPECT_TRUE(s.host.Said("Writing firmware: 50 %")) << s.host.AllOutput();
    EXPECT_TRUE(s.host.Said("Verified: CRC-32")) << s.host.AllOutput();
    EXPECT_GT(s.host.processMessagesCalls, 0);
    s.loader->Disconnect();
    EXPECT_EQ(s.loader->GetState(), kStateIdle);
    EXPECT_EQ(s.host.states, (std::vector<int>{1, 2, 3, 2, 0}));

    EXPECT_EQ(ReadFile(sim.DumpPath()), image);
    EXPECT_TRUE(sim.WaitForLog("MODE decoder (leave command)", 10s)) << sim.Log();
    // The decoder runs the new firmware and says so.
    EXPECT_EQ(AskDecoder(sim.Port(), "GF"), std::string("0\x1e" "C\x1e" "GF\x1e" "4.70\n"));
    EXPECT_TRUE(sim.Stop());
}

// The host's reset can arrive garbled (the line switched to 19200 while it
// was on its way, on a busy machine) or not at all: the library enters the
// bootloader itself with the host's entry command at the decoder's rate.
TEST(BootloaderRun, ConnectEntersTheBootloaderWhenTheHostsResetWasLost)
{
    SimProcess sim({});
    Session s(sim);
    ASSERT_NE(s.loader->Connect(-1), 0) << s.host.AllOutput() << sim.Log();
    EXPECT_TRUE(sim.WaitForLog("RESET", 1s)) << sim.Log();
    s.loader->Disconnect();
}

TEST(BootloaderRun, DamagedContainerFailsBeforeAnythingIsErased)
{
    SimProcess sim({});
    Session s(sim);
    const std::string good = ReadFile(MakeFirmware(sim.Directory(), RandomImage(5000, 2), "4.70"));
    const std::string file = sim.Directory() + "/bad.acy";
    s.host.firmwareFile = file;

    SendEntryCommand(sim.Port());
    ASSERT_NE(s.loader->Connect(-1), 0) << s.host.AllOutput();

    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x01;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {good.substr(0, good.size() - 1), "truncated"},
        {good.substr(0, 40), "truncated"},
        {flipped, "image is damaged"},
        {"MZ" + good, "not a firmware container"},
    };
    for (const auto &[bytes, expected] : cases) {
        WriteFile(file, bytes);
        const std::string message = MessageOf([&] { s.loader->Program(-1, -1); });
        EXPECT_NE(message.find(expected), std::string::npos) << message;
        EXPECT_NE(message.find(file), std::string::npos) << message;
        EXPECT_EQ(s.loader->GetState(), kStateConnected);
    }
    std::remove(file.c_str());
    EXPECT_NE(MessageOf([&] { s.loader->Program(-1, -1); }).find("Cannot read the firmware file"),
              std::string::npos);
    // Neither a FIFO (which would block) nor an endless device is read.
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_NE(MessageOf([&] { s.loader->Program(-1, -1); }).find("Cannot read the firmware file"),
              std::string::npos);
    std::remove(file.c_str());
    ASSERT_EQ(::symlink("/dev/zero", file.c_str()), 0);
    EXPECT_NE(MessageOf([&] { s.loader->Program(-1, -1); }).find("Cannot read the firmware file"),
              std::string::npos);
    std::remove(file.c_str());

    s.loader->Disconnect();
    EXPECT_EQ(sim.Log().find("ERASE"), std::string::npos) << sim.Log();
    EXPECT_FALSE(FileExists(sim.DumpPath()));
    // Nothing was erased, so the decoder still has its firmware and leaves the bootloader.
    EXPECT_TRUE(sim.WaitForLog("MODE decoder (leave command)", 10s));
}

TEST(BootloaderRun, DamagedFrameIsSentAgain)
{
    SimProcess sim({"--fault", "corrupt-frame=5"});
    Session s(sim);
    const std::string image = RandomImage(4096, 3);
    s.host.firmwareFile = MakeFirmware(sim.Directory(), image, "4.71");

    SendEntryCommand(sim.Port());
    ASSERT_NE(s.loader->Connect(-1), 0) << s.host.AllOutput();
    s.loader->Program(-1, -1);
    s.loader->Disconnect();

    EXPECT_TRUE(s.host.Said("the page write at 0x000400 as damaged (attempt 1 of 16)")) << s.host.AllOutput();
    EXPECT_NE(sim.Log().find("FAULT page write 5 arrives damaged"), std::string::npos);
    EXPECT_EQ(ReadFile(sim.DumpPath()), image);
}

TEST(BootloaderRun, LostLineFailsWithReasonAndTheNextRunCompletes)
{
    SimProcess sim({"--fault", "drop-after=10"});
    Session s(sim);
    s.host.timeouts.Field[4] = 2; // retries, to keep the failing run short
    const std::string image = RandomImage(8192, 4);
    s.host.firmwareFile = MakeFirmware(sim.Directory(), image, "4.72");

    SendEntryCommand(sim.Port());
    ASSERT_NE(s.loader->Connect(-1), 0) << s.host.AllOutput();
    const std::string message = MessageOf([&] { s.loader->Program(-1, -1); });
    EXPECT_EQ(message, "The bootloader did not acknowledge the page write at 0x000a00 after 3 attempts (no answer)");
    EXPECT_EQ(s.loader->GetState(), kStateConnected);
    s.loader->Disconnect();
    EXPECT_TRUE(PortIsFree(sim.Port()));
    EXPECT_FALSE(FileExists(sim.DumpPath()));

    // The decoder is stuck in its bootloader; the tool's next run sends the
    // reset command (which the bootloader ignores) and the boot sign again.
    SendEntryCommand(sim.Port());
    ASSERT_NE(s.loader->Connect(-1), 0) << s.host.AllOutput() << sim.Log();
    {
        IntfPtr<IBootloaderDevice> device = IntfPtr<IBootloaderDevice>::Adopt(s.loader->GetDevice());
        EXPECT_EQ(device->HasApplication(), 0);
    }
    s.loader->Program(-1, -1);
    s.loader->Disconnect();
    EXPECT_EQ(ReadFile(sim.DumpPath()), image);
    EXPECT_TRUE(sim.WaitForLog("MODE decoder (leave command)", 10s));
}

TEST(BootloaderRun, NoBootloaderMeansZeroWithReasonAndFreePort)
{
    SimProcess sim({"--fault", "no-bootloader"});
    Session s(sim);
    s.host.firmwareFile = MakeFirmware(sim.Directory(), RandomImage(1000, 5), "4.70");

    SendEntryCommand(sim.Port());
    ASSERT_TRUE(sim.WaitForLog("RESET", 10s));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(s.loader->Connect(-1), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 800ms);
    EXPECT_TRUE(s.host.Said("No answer from the bootloader on " + sim.Port() + " after 800 ms"))
        << s.host.AllOutput();
    EXPECT_EQ(s.loader->GetState(), kStateIdle);
    EXPECT_EQ(s.host.states, (std::vector<int>{1, 0}));
    EXPECT_EQ(s.loader->GetLink(), nullptr);
    EXPECT_TRUE(PortIsFree(sim.Port()));
    // Programming without a connection is refused, and nothing reaches the decoder.
    EXPECT_NE(MessageOf([&] { s.loader->Program(-1, -1); }).find("Not connected"), std::string::npos);
    EXPECT_NE(sim.Log().find("BOOT sign ignored"), std::string::npos);
    EXPECT_EQ(sim.Log().find("ERASE"), std::string::npos);
}

TEST(BootloaderRun, PasswordIsAskedAndChecked)
{
    SimProcess sim({"--password", "s3cret"});
    Session s(sim);

    SendEntryCommand(sim.Port());
    s.host.password.clear(); // the user cancelled the box
    EXPECT_EQ(s.loader->Connect(-1), 0);
    EXPECT_TRUE(s.host.Said("needs a password and none was given")) << s.host.AllOutput();

    s.host.password = u"wrong";
    SendEntryCommand(sim.Port());
    EXPECT_EQ(s.loader->Connect(-1), 0);
    EXPECT_TRUE(s.host.Said("did not accept the password")) << s.host.AllOutput();
    EXPECT_TRUE(sim.WaitForLog("BOOT password denied", 10s));

    s.host.password = u"s3cret";
    SendEntryCommand(sim.Port());
    ASSERT_NE(s.loader->Connect(-1), 0) << s.host.AllOutput();
    EXPECT_EQ(s.host.passwordRequests, 3);
    IntfPtr<IBootloaderDevice> device = IntfPtr<IBootloaderDevice>::Adopt(s.loader->GetDevice());
    EXPECT_EQ(device->NeedsPassword(), 1);
    EXPECT_EQ(device->IsUnlocked(), 1);

    const std::string image = RandomImage(3000, 6);
    s.host.firmwareFile = MakeFirmware(sim.Directory(), image, "4.70");
    s.loader->Program(-1, -1);
    s.loader->Disconnect();
    EXPECT_EQ(ReadFile(sim.DumpPath()), image);
}

TEST(BootloaderRun, WrongTargetAndHostFailuresReachTheCaller)
{
    SimProcess sim({"--target", "KARVEN-C470"});
    Session s(sim);
    s.host.firmwareFile = MakeFirmware(sim.Directory(), RandomImage(1000, 7), "4.70");

    // The host's own exception passes through Connect unchanged.
    s.host.failOpen = true;
    EXPECT_EQ(MessageOf([&] { s.loader->Connect(-1); }), "Error: can not open port " + sim.Port());
    EXPECT_EQ(s.loader->GetState(), kStateIdle);
    s.host.failOpen = false;

    SendEntryCommand(sim.Port());
    ASSERT_NE(s.loader->Connect(-1), 0) << s.host.AllOutput();
    EXPECT_EQ(MessageOf([&] { s.loader->Program(-1, -1); }),
              "The firmware is for KARVEN-C469, the decoder is a KARVEN-C470; nothing was written");
    s.loader->Disconnect();
    EXPECT_EQ(sim.Log().find("ERASE"), std::string::npos);
}

TEST(BootloaderLink, OpenFailuresNameThePort)
{
    const std::string dir = MakeTempDirectory();
    TestHost host(dir + "/none");
    const std::string missing =
        MessageOf([&] { BootloaderLibrary::Default().OpenCOM(u"\\\\.\\" + WideFromUtf8(dir + "/none"), &host); });
    EXPECT_EQ(missing, "Cannot open serial port " + dir + "/none: No such file or directory");

    SimProcess sim({});
    const int holder = ::open(sim.Port().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    const std::string busy =
        MessageOf([&] { BootloaderLibrary::Default().OpenCOM(WideFromUtf8(sim.Port()), &host); });
    EXPECT_EQ(busy, "Serial port " + sim.Port() + " is in use by another program");
    ::close(holder);

    IntfPtr<IBootloaderLink> link = BootloaderLibrary::Default().OpenCOM(WideFromUtf8(sim.Port()), &host);
    EXPECT_NE(MessageOf([&] { link->SetParams(12345, 0, 8, 0, 0); }).find("12345"), std::string::npos);
    link->Close();
    EXPECT_NE(MessageOf([&] { link->Purge(); }).find("is closed"), std::string::npos);
    RemoveTree(dir);
}

// Linux raises DTR and RTS when a tty is opened; the library must drop them
// like the decoder link does. A pty has no modem lines to read back, so the
// requests the library makes are taken from its system calls (strace).
TEST(BootloaderLink, HoldsDtrAndRtsInactive)
{
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    const std::string dir = MakeTempDirectory();
    const std::string trace = dir + "/ioctl.trace";
    const std::string self = std::to_string(::getpid());
    const pid_t tracer = ::fork();
    if (tracer == 0) {
        ::execlp("strace", "strace", "-qq", "-e", "trace=ioctl", "-e", "signal=none", "-o", trace.c_str(), "-p",
                 self.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    auto traced = [] {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("TracerPid:", 0) == 0)
                return std::stoi(line.substr(10)) != 0;
        return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!traced() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(traced()) << "strace did not attach";

    TestHost host(name);
    IntfPtr<IBootloaderLink> link = BootloaderLibrary::Default().OpenCOM(WideFromUtf8(name), &host);
    link->SetParams(19200, 0, 8, 0, 0);
    link->Close();

    ::kill(tracer, SIGINT);
    int status = 0;
    ::waitpid(tracer, &status, 0);
    std::string dtrCleared, rtsCleared, raised;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) {
        if (line.find("TIOCMBIC") != std::string::npos) {
            if (line.find("TIOCM_DTR") != std::string::npos)
                dtrCleared = line;
            if (line.find("TIOCM_RTS") != std::string::npos)
                rtsCleared = line;
        }
        if (line.find("TIOCMBIS") != std::string::npos || line.find("TIOCMSET") != std::string::npos)
            raised = line;
    }
    EXPECT_FALSE(dtrCleared.empty()) << ReadFile(trace);
    EXPECT_FALSE(rtsCleared.empty()) << ReadFile(trace);
    EXPECT_EQ(raised, "");
    ::close(slave);
    ::close(master);
    RemoveTree(dir);
}
