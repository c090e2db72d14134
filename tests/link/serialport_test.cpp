#include "serialport.h"

#include "errorhandler.h"
#include "linereadback.h"
#include "mainthreadsync.h"
#include "ptyhelpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>

namespace {

struct Recorder {
    std::vector<std::string> log;
    TSerialLink link;

    void Watch(TSerialPort &port)
    {
        link.ConnectionChanged = [this](bool on) { log.push_back(std::string("link conn ") + (on ? "1" : "0")); };
        link.CtsChanged = [this](bool on) { log.push_back(std::string("link cts ") + (on ? "1" : "0")); };
        link.DsrChanged = [this](bool on) { log.push_back(std::string("link dsr ") + (on ? "1" : "0")); };
        link.RlsdChanged = [this](bool on) { log.push_back(std::string("link rlsd ") + (on ? "1" : "0")); };
        link.RxActivity = [this](bool on) { log.push_back(std::string("link rx ") + (on ? "1" : "0")); };
        link.TxActivity = [this](bool on) { log.push_back(std::string("link tx ") + (on ? "1" : "0")); };
        link.TxBufferSent = [this](const char *b, int n) { log.push_back("link sent " + std::string(b, n)); };
        port.AttachLink(&link);
        port.OnBeforeOpen = [this](TCustomSerialPort &) { log.push_back("before open"); };
        port.OnAfterOpen = [this](TCustomSerialPort &) { log.push_back("after open"); };
        port.OnBeforeClose = [this](TCustomSerialPort &) { log.push_back("before close"); };
        port.OnAfterClose = [this](TCustomSerialPort &) { log.push_back("after close"); };
        port.OnCTSChange = [this](TCustomSerialPort &, bool on) { log.push_back(std::string("cts ") + (on ? "1" : "0")); };
        port.OnDSRChange = [this](TCustomSerialPort &, bool on) { log.push_back(std::string("dsr ") + (on ? "1" : "0")); };
        port.OnRLSDChange = [this](TCustomSerialPort &, bool on) { log.push_back(std::string("rlsd ") + (on ? "1" : "0")); };
    }
};

std::string Joined(const std::vector<std::string> &items)
{
    std::string all;
    for (const auto &s : items)
        all += s + "|";
    return all;
}

int ExpectOpenError(TSerialPort &port)
{
    try {
        port.OpenPort();
    } catch (const ESerialPort &e) {
        EXPECT_EQ(e.LibraryCode(), 1);
        EXPECT_EQ(e.Message(), "Unable to open com port (win error code: " + std::to_string(e.SystemErrorCode()) + ")");
        return e.SystemErrorCode();
    }
    ADD_FAILURE() << "open of " << port.Port() << " did not fail";
    return 0;
}

// CPU seconds used by every thread of this process except the calling one.
double OtherThreadsCpuSeconds()
{
    const pid_t self = static_cast<pid_t>(gettid());
    double total = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (const dirent *e = readdir(d)) {
            if (e->d_name[0] == '.' || atoi(e->d_name) == self)
                continue;
            std::ifstream stat(std::string("/proc/self/task/") + e->d_name + "/stat");
            std::string line;
            std::getline(stat, line);
            const size_t close = line.rfind(')');
            if (close == std::string::npos)
                continue;
            std::istringstream fields(line.substr(close + 2));
            std::string field;
            unsigned long utime = 0, stime = 0;
            for (int i = 3; i <= 15 && fields >> field; ++i) {
                if (i == 14)
                    utime = std::stoul(field);
                if (i == 15)
                    stime = std::stoul(field);
            }
            total += static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
        }
        closedir(d);
    }
    return total;
}

} // namespace

TEST(SerialPortPty, AppliesDecoderLineSettingsAndChangesThemWhileOpen)
{
    PtyPair pty;
    TSerialPort port;
    port.SetPort(pty.slavePath);
    port.SetBaudRate(br19200);
    port.SetBaudRate(br9600);
    port.OpenPort();
    const int fd = port.Handle();

    LineReadback line = ReadLineSettings(fd);
    ASSERT_TRUE(line.ok);
    EXPECT_EQ(line.ospeed, 9600u);
    EXPECT_FALSE(line.customRate);
    EXPECT_EQ(line.cflag & CSIZE, static_cast<unsigned>(CS8));
    EXPECT_EQ(line.cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), 0u);
    EXPECT_TRUE(line.cflag & CREAD);
    EXPECT_EQ(line.lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(line.iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(line.oflag & OPOST, 0u);
    EXPECT_EQ(line.startChar, 17);
    EXPECT_EQ(line.stopChar, 19);

    Recorder rec;
    rec.Watch(port);
    // A non-standard rate goes in as a custom rate, on the same descriptor.
    port.SetCustomBaudRate(31250);
    port.SetBaudRate(brCustom);
    line = ReadLineSettings(fd);
    EXPECT_TRUE(line.customRate);
    EXPECT_EQ(line.ospeed, 31250u);
    EXPECT_EQ(line.ispeed, 31250u);

    // A pty always reports 8 bits without PARENB; the parity kind it keeps.
    port.Parity().SetBits(prMark);
    EXPECT_EQ(ReadLineSettings(fd).cflag & (PARODD | CMSPAR), static_cast<unsigned>(PARODD | CMSPAR));
    port.Parity().SetBits(prSpace);
    EXPECT_EQ(ReadLineSettings(fd).cflag & (PARODD | CMSPAR), static_cast<unsigned>(CMSPAR));
    port.Parity().SetBits(prOdd);
    EXPECT_EQ(ReadLineSettings(fd).cflag & (PARODD | CMSPAR), static_cast<unsigned>(PARODD));
    port.SetStopBits(sbTwoStopBits);
    port.FlowControl().SetFlowControl(fcHardware);
    line = ReadLineSettings(fd);
    EXPECT_TRUE(line.cflag & CSTOPB);
    EXPECT_TRUE(line.cflag & CRTSCTS);

    EXPECT_EQ(port.Handle(), fd);
    EXPECT_TRUE(rec.log.empty()) << Joined(rec.log);
    port.ClosePort(); // its handlers point into rec
    port.DetachLink(&rec.link);
}

TEST(SerialPortPty, ZeroCustomRateIsRefusedWithError7)
{
    PtyPair pty;
    TSerialPort port;
    port.SetPort(pty.slavePath);
    port.OpenPort();
    port.SetBaudRate(brCustom);
    try {
        port.SetCustomBaudRate(0);
        FAIL() << "no error";
    } catch (const ESerialPort &e) {
        EXPECT_EQ(e.LibraryCode(), 7);
    }
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(ReadLineSettings(port.Handle()).ospeed, 9600u);
}

TEST(SerialPortPty, NotifiesLinksBeforeEventsOnOpenAndClose)
{
    PtyPair pty;
    TSerialPort port;
    Recorder rec;
    rec.Watch(port);
    port.SetPort(pty.slavePath);

    port.OpenPort();
    EXPECT_EQ(Joined(rec.log), "before open|link conn 1|after open|link cts 0|cts 0|link dsr 0|dsr 0|link rlsd 0|rlsd 0|");
    rec.log.clear();
    port.OpenPort();
    port.SetPort(pty.slavePath);
    EXPECT_TRUE(rec.log.empty());

    port.ClosePort();
    EXPECT_EQ(Joined(rec.log),
              "link cts 0|link dsr 0|link rlsd 0|cts 0|dsr 0|rlsd 0|before close|link conn 0|after close|");
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), -1);
    rec.log.clear();
    port.ClosePort();
    EXPECT_TRUE(rec.log.empty());

    // Another name (only the letter case differs) while open: close, then open.
    char dir[] = "/tmp/kzlinkXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string lower = std::string(dir) + "/ttydec";
    const std::string upper = std::string(dir) + "/TTYDEC";
    ASSERT_EQ(symlink(pty.slavePath.c_str(), lower.c_str()), 0);
    ASSERT_EQ(symlink(pty.slavePath.c_str(), upper.c_str()), 0);
    port.SetPort(lower);
    port.OpenPort();
    rec.log.clear();
    port.SetPort(upper);
    EXPECT_TRUE(port.Connected());
    const std::string log = Joined(rec.log);
    EXPECT_NE(log.find("after close|before open"), std::string::npos) << log;
    EXPECT_NE(log.find("after open"), std::string::npos) << log;

    port.ClosePort();
    unlink(lower.c_str());
    unlink(upper.c_str());
    rmdir(dir);
}

TEST(SerialPortPty, DestroyingAnOpenPortDeliversCloseNotifications)
{
    PtyPair pty;
    std::vector<std::string> log;
    {
        TSerialPort port;
        port.SetPort(pty.slavePath);
        port.OpenPort();
        port.OnBeforeClose = [&](TCustomSerialPort &) { log.push_back("before"); };
        port.OnAfterClose = [&](TCustomSerialPort &) { log.push_back("after"); };
    }
    EXPECT_EQ(Joined(log), "before|after|");
}

TEST(SerialPortPty, OpenFailsWithError1AndLeavesThePortClosed)
{
    TSerialPort port;
    bool afterOpen = false;
    int beforeOpen = 0;
    port.OnBeforeOpen = [&](TCustomSerialPort &) { ++beforeOpen; };
    port.OnAfterOpen = [&](TCustomSerialPort &) { afterOpen = true; };

    port.SetPort("/dev/kz-no-such-port");
    EXPECT_EQ(ExpectOpenError(port), ENOENT);
    port.SetPort("");
    EXPECT_EQ(ExpectOpenError(port), ENOENT);
    port.SetPort("/dev/null");
    EXPECT_EQ(ExpectOpenError(port), ENOTTY);
    char file[] = "/tmp/kzlinkfileXXXXXX";
    const int tmp = mkstemp(file);
    ASSERT_GE(tmp, 0);
    close(tmp);
    port.SetPort(file);
    EXPECT_EQ(ExpectOpenError(port), ENOTTY);
    unlink(file);

    EXPECT_EQ(beforeOpen, 4);
    EXPECT_FALSE(afterOpen);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), -1);
}

TEST(SerialPortPty, SecondOpenOfABusyDeviceFailsAlsoForRoot)
{
    PtyPair pty;
    TSerialPort first, second;
    first.SetPort(pty.slavePath);
    second.SetPort(pty.slavePath);
    first.OpenPort();
    const int error = ExpectOpenError(second);
    // Unprivileged: the exclusive tty refuses (EBUSY); root: the lock does.
    EXPECT_TRUE(error == EBUSY || error == EWOULDBLOCK) << error;
    EXPECT_FALSE(second.Connected());
    first.ClosePort();
    second.OpenPort();
    EXPECT_TRUE(second.Connected());
}

TEST(SerialPortPty, UnprivilegedUserCannotOpenAProtectedDevice)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to drop privileges";
    PtyPair pty;
    ASSERT_EQ(chmod(pty.slavePath.c_str(), 0600), 0);
    ASSERT_EQ(chown(pty.slavePath.c_str(), 0, 0), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(100);
        int code = 101;
        try {
            TSerialPort port;
            port.SetPort(pty.slavePath);
            port.OpenPort();
            code = 102;
        } catch (const ESerialPort &e) {
            code = e.LibraryCode() == 1 && e.SystemErrorCode() == EACCES ? 0 : 103;
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SerialPortPty, RefusesSyncMethodChangeAndDoubleLinkRegistration)
{
    PtyPair pty;
    TSerialPort port;
    port.SetPort(pty.slavePath);
    port.SetSyncMethod(smNone);
    port.SetSyncMethod(smThreadSync);
    port.OpenPort();
    try {
        port.SetSyncMethod(smWindowSync);
        FAIL() << "no error";
    } catch (const ESerialPort &e) {
        EXPECT_EQ(e.LibraryCode(), 14);
        EXPECT_EQ(e.SystemErrorCode(), -1);
        EXPECT_EQ(e.Message(), "Cannot set property while connected");
    }
    EXPECT_EQ(port.SyncMethod(), smThreadSync);

    TSerialLink link, stranger;
    port.AttachLink(&link);
    for (auto attempt : {std::function<void()>([&] { port.AttachLink(&link); }),
                         std::function<void()>([&] { port.DetachLink(&stranger); })}) {
        try {
            attempt();
            ADD_FAILURE() << "no error";
        } catch (const ESerialPort &e) {
            EXPECT_EQ(e.LibraryCode(), 18);
            EXPECT_EQ(e.Message(), "Link (un)registration failed");
        }
    }
    port.DetachLink(&link);
}

TEST(SerialPortPty, WritesAndReadsWithTheEdgeCases)
{
    PtyPair pty;
    TSerialPort port;
    port.SetEvents(0);
    port.SetPort(pty.slavePath);
    Recorder rec;
    port.OpenPort();
    rec.Watch(port);

    EXPECT_EQ(port.WriteString(""), 0);
    EXPECT_TRUE(rec.log.empty());

    const std::string command("GS\x1e\n\r", 5);
    EXPECT_EQ(port.WriteString(command), 5);
    EXPECT_EQ(pty.Receive(5), command);
    EXPECT_EQ(Joined(rec.log), "link tx 1|link sent " + command + "|");

    std::string s = "old";
    EXPECT_EQ(port.ReadString(s, 0), 0);
    EXPECT_EQ(s, "");
    s = "old";
    EXPECT_EQ(port.ReadString(s, -3), 0);
    EXPECT_EQ(s, "");

    // Nothing queued: returns at once, empty.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.ReadString(s, 10), 0);
    EXPECT_EQ(s, "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

    // More asked for than queued: the queued bytes, all 256 values intact.
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    pty.Send(all);
    ASSERT_TRUE(WaitUntil([&] { return port.InputQueueCount() == 256; }));
    rec.log.clear();
    EXPECT_EQ(port.ReadString(s, 1000), 256);
    EXPECT_EQ(s, all);
    EXPECT_EQ(Joined(rec.log), "link rx 0|");

    // A read that leaves bytes queued does not report the queue empty.
    pty.Send("abcdef");
    ASSERT_TRUE(WaitUntil([&] { return port.InputQueueCount() == 6; }));
    rec.log.clear();
    EXPECT_EQ(port.ReadString(s, 2), 2);
    EXPECT_EQ(s, "ab");
    EXPECT_TRUE(rec.log.empty());
    EXPECT_EQ(port.InputQueueCount(), 4);

    // With a total read limit the read waits for the bytes to come.
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalConstant(3000);
    std::thread later([&] {
        usleep(100000);
        pty.Send("gh");
    });
    EXPECT_EQ(port.ReadString(s, 6), 6);
    later.join();
    EXPECT_EQ(s, "cdefgh");
    port.DetachLink(&rec.link);

    port.ClosePort();
    try {
        port.WriteString("x");
        FAIL() << "write on a closed port";
    } catch (const ESerialPort &e) {
        EXPECT_EQ(e.LibraryCode(), 2);
    }
}

TEST(SerialPortPty, WriteGivesUpAfterItsTimeLimitWhenNobodyReads)
{
    PtyPair pty;
    TSerialPort port;
    port.SetPort(pty.slavePath);
    port.SetEvents(0);
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(300);
    port.OpenPort();
    // Far more than the pty holds, and nobody reads the master.
    const std::string big(4 * 1024 * 1024, 'x');
    const auto start = std::chrono::steady_clock::now();
    const int written = port.WriteString(big);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int>(big.size()));
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::seconds(5));
    port.ClosePort();
}

TEST(SerialPortPty, DeliversReceivedDataOnTheUiThreadOnlyWhenNewBytesArrive)
{
    PtyPair pty;
    TSerialPort port;
    port.SetPort(pty.slavePath);
    std::string received;
    std::vector<int> counts;
    int readPerEvent = 1000;
    const auto uiThread = std::this_thread::get_id();
    bool onUiThread = true;
    port.OnRxChar = [&](TCustomSerialPort &sender, int count) {
        onUiThread = onUiThread && std::this_thread::get_id() == uiThread;
        counts.push_back(count);
        std::string s;
        sender.ReadString(s, std::min(count, readPerEvent));
        received += s;
    };
    port.OpenPort();

    pty.Send("0\x1e" "C\x1e" "GS\x1e" "12345\n\r");
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 14; }));
    EXPECT_EQ(received, "0\x1e" "C\x1e" "GS\x1e" "12345\n\r");
    EXPECT_TRUE(onUiThread);

    // A handler that leaves bytes gets no new event until more bytes come.
    readPerEvent = 1;
    counts.clear();
    received.clear();
    pty.Send("xyz");
    ASSERT_TRUE(PumpUntil([&] { return counts.size() == 1; }));
    PumpFor(300);
    EXPECT_EQ(counts.size(), 1u);
    EXPECT_EQ(received, "x");
    readPerEvent = 1000;
    pty.Send("w");
    ASSERT_TRUE(PumpUntil([&] { return received == "xyzw"; }));
    EXPECT_EQ(counts.back(), 3);
}

TEST(SerialPortPty, HandsOverAMegabyteFloodWithoutLossOrReordering)
{
    PtyPair pty;
    TSerialPort port;
    port.SetPort(pty.slavePath);
    std::string received;
    port.OnRxChar = [&](TCustomSerialPort &sender, int count) {
        std::string s;
        sender.ReadString(s, count);
        received += s;
    };
    port.OpenPort();

    std::string data(1 << 20, '\0');
    std::mt19937 random(12345);
    for (char &c : data)
        c = static_cast<char>(random());
    std::thread writer([&] { pty.Send(data); });
    const bool done = PumpUntil([&] { return received.size() >= data.size(); }, 60000);
    writer.join();
    ASSERT_TRUE(done) << received.size();
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}

TEST(SerialPortPty, OpensAndClosesAThousandTimesWhileDataFlows)
{
    PtyPair pty;
    MainThreadSync::Instance(); // its wake descriptor lives for the whole process
    const int fdsBefore = OpenFdCount();
    const int threadsBefore = ThreadCount();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load()) {
            if (write(pty.master, "0123456789", 10) < 0)
                usleep(200);
        }
    });
    size_t received = 0;
    {
        TSerialPort port;
        port.SetPort(pty.slavePath);
        port.OnRxChar = [&](TCustomSerialPort &sender, int count) {
            std::string s;
            received += static_cast<size_t>(sender.ReadString(s, count));
        };
        for (int i = 0; i < 1000; ++i) {
            port.OpenPort();
            if (i % 10 == 0) {
                const size_t before = received;
                PumpUntil([&] { return received > before; }, 2000);
            } else {
                MainThreadSync::Instance().CheckSynchronize();
            }
            port.ClosePort();
        }
    }
    stop = true;
    writer.join();
    EXPECT_GT(received, 0u);
    EXPECT_EQ(OpenFdCount(), fdsBefore);
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; }));
}

TEST(SerialPortPty, ClosingFromInsideItsOwnDeliveryIsSafe)
{
    PtyPair pty;
    const int threadsBefore = ThreadCount();
    TSerialPort port;
    port.SetPort(pty.slavePath);
    int afterClose = 0;
    int events = 0;
    bool reopen = false;
    port.OnAfterClose = [&](TCustomSerialPort &) { ++afterClose; };
    port.OnRxChar = [&](TCustomSerialPort &sender, int) {
        ++events;
        // The reset action's pattern: close, then open again, in a handler.
        sender.ClosePort();
        EXPECT_FALSE(sender.Connected());
        if (reopen)
            sender.OpenPort();
    };
    port.OpenPort();
    pty.Send("a");
    ASSERT_TRUE(PumpUntil([&] { return afterClose == 1; }));
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(events, 1);

    reopen = true;
    port.OpenPort();
    pty.Send("b");
    ASSERT_TRUE(PumpUntil([&] { return afterClose == 2; }));
    EXPECT_TRUE(port.Connected());
    // The reopened port still delivers.
    reopen = false;
    PumpFor(100);
    std::string s;
    port.ReadString(s, 100);
    pty.Send("c");
    ASSERT_TRUE(PumpUntil([&] { return afterClose == 3; }));
    EXPECT_EQ(events, 3);
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; }));
}

TEST(SerialPortPty, AFailingHandlerEndsDeliveryButTheCloseStillWorks)
{
    PtyPair pty;
    TSerialPort port;
    port.SetPort(pty.slavePath);
    int events = 0;
    port.OnRxChar = [&](TCustomSerialPort &sender, int count) {
        ++events;
        std::string s;
        sender.ReadString(s, count);
        throw ESerialPort(3, 5);
    };
    port.OpenPort();
    pty.Send("a");
    ASSERT_TRUE(PumpUntil([&] { return events == 1; }));
    pty.Send("b");
    PumpFor(300);
    EXPECT_EQ(events, 1);
    EXPECT_TRUE(port.Connected());
    port.ClosePort();
    EXPECT_FALSE(port.Connected());

    // Reopening brings delivery back.
    port.OnRxChar = [&](TCustomSerialPort &sender, int count) {
        ++events;
        std::string s;
        sender.ReadString(s, count);
    };
    port.OpenPort();
    pty.Send("c");
    EXPECT_TRUE(PumpUntil([&] { return events == 2; }));
}

TEST(SerialPortPty, QueuedDeliveryReportsFailuresAndGoesOn)
{
    PtyPair pty;
    std::vector<std::string> reported;
    SetDefaultExceptionHandler([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception &x) {
            reported.push_back(x.what());
        }
    });
    TSerialPort port;
    port.SetSyncMethod(smWindowSync);
    port.SetPort(pty.slavePath);
    int events = 0;
    port.OnRxChar = [&](TCustomSerialPort &sender, int count) {
        ++events;
        std::string s;
        sender.ReadString(s, count);
        if (events == 1)
            throw ESerialPort(3, 5);
    };
    port.OpenPort();
    pty.Send("a");
    ASSERT_TRUE(PumpUntil([&] { return events == 1; }));
    pty.Send("b");
    EXPECT_TRUE(PumpUntil([&] { return events == 2; }));
    port.ClosePort();
    SetDefaultExceptionHandler(nullptr);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "ReadFile function failed (win error code: 5)");
}

TEST(SerialPortPty, WithoutEventsNoThreadRunsAndNoEventComes)
{
    PtyPair pty;
    const int threadsBefore = ThreadCount();
    TSerialPort port;
    port.SetPort(pty.slavePath);
    port.SetEvents(0);
    bool event = false;
    port.OnRxChar = [&](TCustomSerialPort &, int) { event = true; };
    port.OpenPort();
    EXPECT_FALSE(port.HasEventThread());
    EXPECT_EQ(ThreadCount(), threadsBefore);
    pty.Send("a");
    PumpFor(200);
    EXPECT_FALSE(event);
    EXPECT_EQ(port.InputQueueCount(), 1);
}

TEST(SerialPortPty, ReportsTransmitEmptyAfterAWrite)
{
    PtyPair pty;
    TSerialPort port;
    port.SetPort(pty.slavePath);
    std::vector<std::string> log;
    TSerialLink link;
    link.TxActivity = [&](bool on) { log.push_back(on ? "tx on" : "tx off"); };
    port.OnTxEmpty = [&](TCustomSerialPort &) { log.push_back("empty"); };
    port.OpenPort();
    port.AttachLink(&link);
    port.WriteString("GA\x1e\n\r");
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 3; }));
    EXPECT_EQ(Joined(log), "tx on|tx off|empty|");
    port.DetachLink(&link);
}

TEST(SerialPortPty, AVanishedDeviceDoesNotKeepTheEventThreadBusy)
{
    auto pty = std::make_unique<PtyPair>();
    TSerialPort port;
    port.SetPort(pty->slavePath);
    port.OnRxChar = [](TCustomSerialPort &sender, int count) {
        std::string s;
        sender.ReadString(s, count);
    };
    port.OpenPort();
    pty->Send("tail");
    pty->CloseMaster();

    PumpFor(300);
    const double before = OtherThreadsCpuSeconds();
    PumpFor(2000);
    const double used = OtherThreadsCpuSeconds() - before;
    EXPECT_LT(used, 0.2) << "event thread used " << used << " s in 2 s";
    EXPECT_TRUE(port.Connected());
    EXPECT_NO_THROW(port.ClosePort());
    EXPECT_FALSE(port.Connected());
}

TEST(SerialPortSocat, CarriesBytesBetweenTwoPortsOverAVirtualNullModem)
{
    char dir[] = "/tmp/kzsocatXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string a = std::string(dir) + "/a";
    const std::string b = std::string(dir) + "/b";
    const pid_t socat = fork();
    ASSERT_GE(socat, 0);
    if (socat == 0) {
        const std::string left = "pty,raw,echo=0,link=" + a;
        const std::string right = "pty,raw,echo=0,link=" + b;
        execlp("socat", "socat", "-d", "-d", left.c_str(), right.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    struct stat st{};
    const bool ready = WaitUntil([&] { return stat(a.c_str(), &st) == 0 && stat(b.c_str(), &st) == 0; });
    if (ready) {
        TSerialPort decoder, tool;
        decoder.SetPort(a);
        tool.SetPort(b);
        std::string received;
        tool.OnRxChar = [&](TCustomSerialPort &sender, int count) {
            std::string s;
            sender.ReadString(s, count);
            received += s;
        };
        decoder.SetEvents(0);
        decoder.OpenPort();
        tool.OpenPort();
        EXPECT_EQ(decoder.WriteString("0\x1e" "C\x1e" "GF\x1e" "1.23\n\r"), 13);
        EXPECT_TRUE(PumpUntil([&] { return received.size() >= 13; }));
        EXPECT_EQ(received, "0\x1e" "C\x1e" "GF\x1e" "1.23\n\r");
        tool.ClosePort();
        decoder.ClosePort();
    }
    kill(socat, SIGTERM);
    int status = 0;
    waitpid(socat, &status, 0);
    unlink(a.c_str());
    unlink(b.c_str());
    rmdir(dir);
    ASSERT_TRUE(ready) << "socat did not create its ptys";
}
