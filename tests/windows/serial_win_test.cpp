// The serial port component on the Win32 calls, under wine: COM ports mapped
// to socat pty pairs and to the Linux decoder simulator by
// scripts/windows/test-windows.sh, which passes their names in the
// environment. The peer end of a pair is opened with plain Win32 calls and
// plays the decoder.
//
// What wine's serial emulation cannot show on a pty (and these tests
// therefore do not claim): modem lines (a pty has none; GetCommModemStatus and
// waits that include modem events are refused, so the lines read as off),
// line errors (no UART), evRing, evBreak, evCTS/evDSR/evRLSD, evRxFlag, a
// reliable evTxEmpty, exclusive opens, real SetupComm queue sizes, and the
// write time-out of a stalled line (a pty's buffer takes the bytes).
#include "bootloaderlibrary.h"
#include "decoderprotocol.h"
#include "decoderreader.h"
#include "laneenv.h"
#include "mainthreadsync.h"
#include "oshandle_win.h"
#include "portlist.h"
#include "serialport.h"
#include "testhost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Wine's serial driver leaves some things out; tests that need them say so.
bool UnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

bool PumpUntil(const std::function<bool()> &done, int timeoutMs = 10000)
{
    auto &sync = MainThreadSync::Instance();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        if (WaitForSingleObject(AsHandle(sync.WakeFd()), 20) == WAIT_OBJECT_0)
            sync.CheckSynchronize();
    }
    return true;
}

// The far end of a pair, opened with plain blocking Win32 calls.
class Peer {
public:
    explicit Peer(const std::string &port)
    {
        handle_ = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE)
            return;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(handle_, &dcb);
        dcb.BaudRate = 9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = 1;
        SetCommState(handle_, &dcb);
        COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 100, 0, 2000};
        SetCommTimeouts(handle_, &t);
    }
    ~Peer()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
    void Send(const std::string &bytes) const
    {
        DWORD put = 0;
        WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
    }
    std::string Receive(size_t count, int timeoutMs = 5000) const
    {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            char buffer[4096];
            DWORD n = 0;
            if (ReadFile(handle_, buffer, sizeof buffer, &n, nullptr) && n > 0)
                got.append(buffer, n);
        }
        return got;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

void OpenAt9600(TSerialPort &port, const std::string &name)
{
    port.SetPort(name);
    port.SetBaudRate(br9600);
    port.OpenPort();
}

std::string ReadWhole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

TEST(WinPortList, ListsTheRegisteredComNamesSorted)
{
    REQUIRE_ENV(port, "KZ_WIN_PORT");
    const std::vector<std::string> ports = EnumeratePorts();
    ASSERT_NE(std::find(ports.begin(), ports.end(), port), ports.end());
    // The lane registers "COM10" too: text order puts it before COM2..COM9.
    const auto com10 = std::find(ports.begin(), ports.end(), "COM10");
    ASSERT_NE(com10, ports.end());
    EXPECT_LT(com10 - ports.begin(), std::find(ports.begin(), ports.end(), port) - ports.begin());
    EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end(), [](const std::string &a, const std::string &b) {
        return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) == CSTR_LESS_THAN;
    }));
}

TEST(WinSerial, OpensWithTheDecoderLineAndChangesTheRateWhileOpen)
{
    REQUIRE_ENV(name, "KZ_WIN_PORT");
    TSerialPort port;
    OpenAt9600(port, name);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(AsHandle(port.Handle()), &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(AsHandle(port.Handle()), &t));
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);

    const int handle = port.Handle();
    port.SetBaudRate(br19200);
    EXPECT_EQ(port.Handle(), handle); // applied without reopening
    ASSERT_TRUE(GetCommState(AsHandle(port.Handle()), &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    port.ClosePort();
    EXPECT_EQ(port.Handle(), -1);
}

TEST(WinSerial, AbsentOrBusyPortFailsWithError1AndTheSystemCode)
{
    REQUIRE_ENV(name, "KZ_WIN_PORT");
    for (const std::string &absent : {std::string("COM77"), std::string()}) {
        TSerialPort port;
        port.SetPort(absent);
        try {
            port.OpenPort();
            ADD_FAILURE() << absent << " opened";
        } catch (const ESerialPort &e) {
            EXPECT_EQ(e.LibraryCode(), 1);
            EXPECT_GT(e.SystemErrorCode(), 0);
            EXPECT_EQ(e.Message(), "Unable to open com port (win error code: " + std::to_string(e.SystemErrorCode()) + ")");
            EXPECT_EQ(e.Informative(), absent.empty() ? std::string("no port chosen") : absent + ": not present");
        }
        EXPECT_FALSE(port.Connected());
    }
    if (UnderWine())
        GTEST_SKIP() << "wine opens a COM device a second time although it is open without sharing";
    TSerialPort first;
    OpenAt9600(first, name);
    TSerialPort second;
    second.SetPort(name);
    try {
        second.OpenPort();
        ADD_FAILURE() << "a second open of " << name << " succeeded";
    } catch (const ESerialPort &e) {
        EXPECT_EQ(e.LibraryCode(), 1);
        EXPECT_TRUE(e.SystemErrorCode() == ERROR_ACCESS_DENIED || e.SystemErrorCode() == ERROR_SHARING_VIOLATION)
            << e.SystemErrorCode();
    }
    EXPECT_FALSE(second.Connected());
}

TEST(WinSerial, WritesReadsAndDeliversReceivedDataOnTheUiThread)
{
    REQUIRE_ENV(name, "KZ_WIN_PORT");
    REQUIRE_ENV(peerName, "KZ_WIN_PEER");
    Peer peer(peerName);
    ASSERT_TRUE(peer.Open());
    TSerialPort port;
    std::string received;
    int rxEvents = 0;
    int txEmpty = 0;
    bool onUiThread = true;
    const auto ui = std::this_thread::get_id();
    port.OnRxChar = [&](TCustomSerialPort &sender, int count) {
        ++rxEvents;
        onUiThread = onUiThread && std::this_thread::get_id() == ui;
        std::string bytes;
        const int got = sender.ReadString(bytes, count);
        EXPECT_EQ(got, static_cast<int>(bytes.size()));
        received += bytes;
    };
    port.OnTxEmpty = [&](TCustomSerialPort &) { ++txEmpty; };
    OpenAt9600(port, name);

    EXPECT_EQ(port.WriteString(""), 0);
    std::string nothing = "x";
    EXPECT_EQ(port.ReadString(nothing, 10), 0); // returns at once with what is queued
    EXPECT_EQ(nothing, "");

    const std::string command = decoder::BuildCommand("GS");
    EXPECT_EQ(port.WriteString(command), static_cast<int>(command.size()));
    EXPECT_EQ(peer.Receive(command.size()), command);
    // Wine reports EV_TXEMPTY only when it happens to see the pty's queue
    // non-empty first; a real port always reports it.
    if (!UnderWine()) {
        EXPECT_TRUE(PumpUntil([&] { return txEmpty > 0; })) << "no transmit-empty event";
    }

    const std::string reply = std::string("0\x1e" "C\x1e" "GS\x1e" "A1234\n\r");
    peer.Send(reply);
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= reply.size(); })) << received;
    EXPECT_EQ(received, reply);
    EXPECT_TRUE(onUiThread);
    EXPECT_GE(rxEvents, 1);

    // A larger burst arrives whole and in order.
    std::string burst;
    for (int i = 0; i < 3000; ++i)
        burst += static_cast<char>('A' + i % 26);
    received.clear();
    peer.Send(burst);
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= burst.size(); }, 20000)) << received.size();
    EXPECT_EQ(received, burst);
}

TEST(WinSerial, TheEventCharacterRaisesRxFlag)
{
    REQUIRE_ENV(name, "KZ_WIN_PORT");
    REQUIRE_ENV(peerName, "KZ_WIN_PEER");
    if (UnderWine())
        GTEST_SKIP() << "wine's serial driver does not report the event character (EV_RXFLAG)";
    Peer peer(peerName);
    ASSERT_TRUE(peer.Open());
    TSerialPort port;
    int flags = 0;
    port.SetEventChar('\r');
    port.OnRxFlag = [&](TCustomSerialPort &) { ++flags; };
    port.OnRxChar = [](TCustomSerialPort &sender, int count) {
        std::string sink;
        sender.ReadString(sink, count);
    };
    OpenAt9600(port, name);
    peer.Send("no flag here\n");
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(flags, 0);
    peer.Send("0\x1e" "C\x1e" "GF\x1e" "4.69\n\r");
    EXPECT_TRUE(PumpUntil([&] { return flags > 0; }));
}

TEST(WinSerial, ClosingFromInsideItsOwnDeliveryIsSafe)
{
    REQUIRE_ENV(name, "KZ_WIN_PORT");
    REQUIRE_ENV(peerName, "KZ_WIN_PEER");
    Peer peer(peerName);
    ASSERT_TRUE(peer.Open());
    TSerialPort port;
    int closed = 0;
    port.OnAfterClose = [&](TCustomSerialPort &) { ++closed; };
    port.OnRxChar = [](TCustomSerialPort &sender, int) { sender.ClosePort(); };
    OpenAt9600(port, name);
    peer.Send("bye\r");
    ASSERT_TRUE(PumpUntil([&] { return closed == 1; }));
    EXPECT_FALSE(port.Connected());
    // The port opens again at once: the retired thread let go of it.
    OpenAt9600(port, name);
    EXPECT_TRUE(port.Connected());
}

TEST(WinSerial, AVanishedDeviceNeitherSpinsNorBlocksTheClose)
{
    REQUIRE_ENV(name, "KZ_WIN_VANISH_PORT");
    REQUIRE_ENV(trigger, "KZ_WIN_VANISH_TRIGGER");
    TSerialPort port;
    port.OnRxChar = [](TCustomSerialPort &sender, int count) {
        std::string sink;
        sender.ReadString(sink, count);
    };
    int lost = 0;
    port.OnDeviceLost = [&](TCustomSerialPort &) { ++lost; };
    OpenAt9600(port, name);
    // The lane script ends the socat pair when this file appears.
    std::ofstream(trigger) << "now";
    EXPECT_TRUE(PumpUntil([&] { return lost > 0; }, 5000)) << "the loss was not reported";

    auto cpu = [] {
        FILETIME created, exited, kernel, user;
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
        auto value = [](FILETIME t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
        return value(kernel) + value(user); // 100 ns units
    };
    const auto before = cpu();
    PumpUntil([] { return false; }, 1000);
    const auto used = cpu() - before;
    EXPECT_LT(used, 5000000u) << "the event thread keeps the processor busy after the device vanished";

    EXPECT_EQ(lost, 1);
    EXPECT_THROW(port.WriteString("x"), ESerialPort);
    const auto start = std::chrono::steady_clock::now();
    port.ClosePort();
    EXPECT_FALSE(port.Connected());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// Behind a device server, bytes a handler leaves unread hide the link's
// end in the pipe, and the wake-up that told of it is spent on them: the
// loss is still told, at the latest once they are read.
TEST(WinSerial, ARemoteLinkEndingBehindUnreadBytesIsStillALostDevice)
{
    REQUIRE_ENV(drop, "KZ_WIN_REMOTE_DROP");
    TSerialPort port;
    int told = 0, lost = 0;
    port.OnRxChar = [&](TCustomSerialPort &, int) { ++told; };
    port.OnDeviceLost = [&](TCustomSerialPort &) { ++lost; };
    OpenAt9600(port, DroppingRemotePort());
    port.WriteString(decoder::BuildCommand("GS"));
    ASSERT_TRUE(PumpUntil([&] { return told > 0; })) << "no reply through the server";
    std::ofstream(drop).put('\n');
    PumpUntil([] { return false; }, 1000);
    DeleteFileA(drop.c_str());

    // The bytes from before the end are still there to read.
    std::string reply;
    port.ReadString(reply, port.InputQueueCount());
    EXPECT_NE(reply.find("A1234"), std::string::npos) << reply;
    EXPECT_TRUE(PumpUntil([&] { return lost > 0; }, 5000)) << "the loss was not reported";
    port.ClosePort();
}

// The decoder simulator of the Linux build on a wine COM port: the line
// protocol round trip, then a firmware update through Bootloader.dll.
TEST(WinSimulator, AnswersTheSerialNumberAndTakesAFirmwareUpdate)
{
    REQUIRE_ENV(name, "KZ_WIN_SIM_PORT");
    REQUIRE_ENV(firmware, "KZ_WIN_SIM_FIRMWARE");
    REQUIRE_ENV(image, "KZ_WIN_SIM_IMAGE");
    REQUIRE_ENV(dump, "KZ_WIN_SIM_DUMP");
    REQUIRE_ENV(simLog, "KZ_WIN_SIM_LOG");

    std::string serial;
    // The library is loaded before the port is used, as the window and the
    // command line do: under wine 8 every ended WaitCommEvent leaves a stale
    // thread entry that a later load of a DLL with thread-local data
    // (Bootloader.dll has some) writes through, and the process dies.
    TestHost host(name);
    host.firmwareFile = firmware;
    IntfPtr<IBootloader> loader = BootloaderLibrary::Default().OpenBootloader(&host);

    decoder::DecoderReader protocol([&serial](const decoder::DecoderLine &line) {
        if (line.kind == decoder::LineKind::SerialNumber)
            serial = line.value;
    });
    TSerialPort port;
    port.OnRxChar = [&](TCustomSerialPort &sender, int count) {
        std::string bytes;
        sender.ReadString(bytes, count);
        protocol.AssembleDecoderLines(bytes);
    };
    OpenAt9600(port, name);
    port.WriteString(decoder::BuildCommand("GS"));
    ASSERT_TRUE(PumpUntil([&] { return !serial.empty(); })) << "no reply from the simulator";
    EXPECT_EQ(serial, "A1234");

    // As the tool does: the reset command puts the decoder into its
    // bootloader, then the port is handed to the library.
    port.WriteString(decoder::BuildCommand("B"));
    port.ClosePort();
    // As the Linux tests do: the library starts once the decoder has reset.
    const auto resetBy = std::chrono::steady_clock::now() + 10s;
    while (ReadWhole(simLog).find("RESET") == std::string::npos && std::chrono::steady_clock::now() < resetBy)
        std::this_thread::sleep_for(20ms);
    host.loader = loader.get();
    ASSERT_NE(loader->Connect(-1), 0) << host.AllOutput();
    loader->Program(-1, -1);
    loader->Disconnect();
    host.loader = nullptr;
    EXPECT_TRUE(host.Said("Verified: CRC-32")) << host.AllOutput();
    EXPECT_EQ(ReadWhole(dump), ReadWhole(image));
}
