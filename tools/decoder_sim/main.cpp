// decoder_sim: a KARVEN decoder on a pseudo-terminal, for trying the tool
// and for tests without hardware. See --help.

#include "devicesim.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <vector>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/time.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

void Usage(FILE *to)
{
    std::fputs(
        "usage: decoder_sim --link PATH [options]\n"
        "  --link PATH                symlink to the pty's slave (removed on exit)\n"
        "  --telegram-interval SECS   send an FMS telegram report every SECS seconds (0 = off)\n"
        "  --serial TEXT              serial number (A1234)\n"
        "  --firmware TEXT            firmware version before any update (4.69)\n"
        "  --hardware TEXT            hardware revision (C469-2)\n"
        "  --target TEXT              target id the bootloader reports (KARVEN-C469)\n"
        "  --info TEXT                info text the bootloader reports (KARVEN radio-status decoder)\n"
        "  --boot-window SECS         how long the bootloader waits for the boot sign (3)\n"
        "  --password SECRET          the bootloader wants this password\n"
        "  --flags N                  encryption flags the bootloader reports (1)\n"
        "  --window N                 the bootloader speaks protocol 2 and takes N page writes in flight\n"
        "  --dump FILE                write the programmed image to FILE after each update\n"
        "  --fault corrupt-frame=N    the Nth page write arrives damaged once\n"
        "  --fault drop-after=N       the line goes silent after N page writes, until a new entry\n"
        "  --fault no-bootloader      the boot sign is never answered\n"
        "  --seed N                   seed for the telegram reports\n"
        "  --no-pacing                move bytes as fast as the pty allows instead of at the line rate\n"
        "\n"
        "The decoder listens at 9600 8N1, its bootloader at 19200 8N1; bytes sent at\n"
        "other settings arrive garbled, as on a real UART.\n",
        to);
}

std::string Stamp()
{
    struct timeval tv {};
    ::gettimeofday(&tv, nullptr);
    std::tm tm{};
    localtime_r(&tv.tv_sec, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(tv.tv_usec / 1000));
    return text;
}

void Log(const std::string &text)
{
    std::printf("%s %s\n", Stamp().c_str(), text.c_str());
    std::fflush(stdout);
}

int BaudOf(speed_t speed)
{
    switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
    }
}

// Hex and printable form of a byte sequence, 32 bytes per line.
void LogBytes(const char *direction, const std::string &bytes, int baud)
{
    for (size_t at = 0; at < bytes.size(); at += 32) {
        std::string hex, text;
        for (size_t i = at; i < bytes.size() && i < at + 32; ++i) {
            const auto c = static_cast<unsigned char>(bytes[i]);
            char h[4];
            std::snprintf(h, sizeof h, "%02x ", c);
            hex += h;
            text += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
        }
        hex.pop_back();
        Log(std::string(direction) + " [" + std::to_string(baud) + "] " + hex + " |" + text + "|");
    }
}

bool ParseUnsigned(const std::string &text, uint32_t &out)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (errno || !end || *end || text.empty() || v > 0xFFFFFFFFul)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// What the host set on its end of the line; a pty keeps one termios for both ends.
struct LineFormat {
    int baud = 0; // 0: not one of the rates above
    bool is8N1 = false;
    bool operator==(const LineFormat &) const = default;
};

LineFormat ReadFormat(int master)
{
    struct termios t {};
    ::tcgetattr(master, &t);
    LineFormat f;
    f.baud = BaudOf(cfgetispeed(&t));
    f.is8N1 = (t.c_cflag & CSIZE) == CS8 && !(t.c_cflag & (PARENB | CSTOPB));
    return f;
}

std::string Describe(const LineFormat &f)
{
    return (f.baud ? std::to_string(f.baud) : std::string("an unusual rate")) + (f.is8N1 ? " 8N1" : " (not 8N1)");
}

bool Matches(const LineFormat &f, int deviceRate) { return f.is8N1 && f.baud == deviceRate; }

// A byte framed at other settings than the receiver's comes out as noise:
// never a CR, a frame start or a printable character.
char Garbled(char byte)
{
    static const unsigned char kNoise[] = {0x00, 0x80, 0xE0, 0xF0, 0xF8, 0xFE, 0xFF};
    return static_cast<char>(kNoise[static_cast<unsigned char>(byte) % sizeof kNoise]);
}

std::string GarbledAll(std::string bytes)
{
    for (char &c : bytes)
        c = Garbled(c);
    return bytes;
}

// Time one 8N1 character (10 bits) takes on the wire.
std::chrono::nanoseconds CharTime(int baud)
{
    return std::chrono::nanoseconds(10'000'000'000LL / (baud > 0 ? baud : 9600));
}

struct Pty {
    int master = -1;
    std::string slave;
};

// A new pty pair, raw 9600 8N1, with the slave closed.
bool OpenPty(Pty &pty)
{
    int master = -1, slave = -1;
    char slaveName[256] = {};
    if (::openpty(&master, &slave, slaveName, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "decoder_sim: openpty: %s\n", std::strerror(errno));
        return false;
    }
    struct termios tio {};
    ::tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    ::tcsetattr(slave, TCSANOW, &tio);
    // Closed so a hangup shows when nobody has the port open; bytes sent
    // then would wait in the pty and reach the next program that opens it.
    ::close(slave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    pty.master = master;
    pty.slave = slaveName;
    return true;
}

// Points the link at the slave in one step, so an opener never finds it missing.
bool PointLink(const std::string &link, const std::string &slave)
{
    const std::string temp = link + ".new";
    ::unlink(temp.c_str());
    if (::symlink(slave.c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "decoder_sim: symlink %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

#ifndef TIOCGPTPEER
#define TIOCGPTPEER _IO('T', 0x41)
#endif

// The last opener is gone. A program killed while it held the port leaves
// the exclusive flag on the slave, and every later open but root's fails
// with EBUSY. Clear it through a descriptor of our own; where the kernel
// refuses that (we are not root and the flag is set), move the link to a
// fresh pty instead. Returns false when the simulator cannot go on.
bool ReleaseAfterHangup(Pty &pty, const std::string &link)
{
    const int peer = ::ioctl(pty.master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (peer >= 0) {
        ::ioctl(peer, TIOCNXCL);
        ::close(peer);
        return true;
    }
    if (errno != EBUSY)
        return true;
    Pty fresh;
    if (!OpenPty(fresh))
        return false;
    if (!PointLink(link, fresh.slave)) {
        ::close(fresh.master);
        return false;
    }
    Log("HANGUP the last program left " + pty.slave + " locked; " + link + " now leads to " + fresh.slave);
    ::close(pty.master);
    pty = fresh;
    return true;
}

bool Watch(int waiter, int master)
{
    struct epoll_event event {};
    // Not EPOLLOUT: a new opener would wake us at once, and the greeting
    // would reach even a program that opens and closes again right away.
    event.events = EPOLLIN | EPOLLET;
    event.data.fd = master;
    return ::epoll_ctl(waiter, EPOLL_CTL_ADD, master, &event) == 0;
}

// Bytes read from the host, with the settings they may have been sent at.
struct Arrival {
    std::string bytes;
    LineFormat format;
    std::vector<LineFormat> lately; // formats in force shortly before
    std::chrono::steady_clock::time_point read; // when the bytes came out of the pty
};

// A pty hands written bytes on through a kernel work queue, so a host that
// writes, closes, and lets the next program change the rate may have changed
// it before we read the bytes. A real UART had sent them at the old rate;
// formats seen in this span count too, for the decoder/bootloader hand-over.
constexpr auto kSettingsSpan = std::chrono::milliseconds(100);

// How long a new listener must have kept the port open before the device
// greets it or reports telegrams.
constexpr auto kSettleTime = std::chrono::milliseconds(60);

} // namespace

int main(int argc, char **argv)
{
    SimOptions options;
    std::string link;
    bool paced = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "decoder_sim: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        auto number = [&](const std::string &text) {
            uint32_t v = 0;
            if (!ParseUnsigned(text, v)) {
                std::fprintf(stderr, "decoder_sim: %s: not a number: %s\n", arg.c_str(), text.c_str());
                std::exit(2);
            }
            return v;
        };
        if (arg == "--link") {
            link = value();
        } else if (arg == "--telegram-interval") {
            options.telegramInterval = std::atof(value().c_str());
        } else if (arg == "--boot-window") {
            options.bootWindow = std::atof(value().c_str());
        } else if (arg == "--serial") {
            options.serial = value();
        } else if (arg == "--firmware") {
            options.firmwareVersion = value();
        } else if (arg == "--hardware") {
            options.hardwareRevision = value();
        } else if (arg == "--info") {
            options.info = value();
        } else if (arg == "--target") {
            options.target = value();
        } else if (arg == "--password") {
            options.password = value();
        } else if (arg == "--flags") {
            options.flags = static_cast<uint8_t>(number(value()) & 7);
        } else if (arg == "--window") {
            options.window = static_cast<uint8_t>(std::min<unsigned long>(number(value()), 16));
        } else if (arg == "--dump") {
            options.dumpFile = value();
        } else if (arg == "--seed") {
            options.seed = number(value());
        } else if (arg == "--fault") {
            const std::string fault = value();
            if (fault == "no-bootloader")
                options.noBootloader = true;
            else if (fault.rfind("corrupt-frame=", 0) == 0)
                options.corruptFrame = number(fault.substr(14));
            else if (fault.rfind("drop-after=", 0) == 0)
                options.dropAfter = number(fault.substr(11));
            else {
                std::fprintf(stderr, "decoder_sim: unknown fault %s\n", fault.c_str());
                return 2;
            }
        } else if (arg == "--no-pacing") {
            paced = false;
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "decoder_sim: unknown option %s\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (link.empty()) {
        Usage(stderr);
        return 2;
    }

    Pty pty;
    if (!OpenPty(pty))
        return 1;

    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        std::fprintf(stderr, "decoder_sim: %s exists and is not a symlink\n", link.c_str());
        return 1;
    }
    if (!PointLink(link, pty.slave))
        return 1;

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    using Clock = DeviceSimulator::Clock;
    DeviceSimulator device(options, Log);
    Log(std::string("READY ") + link + " -> " + pty.slave + (paced ? "" : " (no pacing)"));

    const int waiter = ::epoll_create1(EPOLL_CLOEXEC);
    if (waiter < 0 || !Watch(waiter, pty.master)) {
        std::fprintf(stderr, "decoder_sim: epoll: %s\n", std::strerror(errno));
        return 1;
    }
    std::deque<std::pair<Clock::time_point, LineFormat>> recentFormats;
    std::deque<Arrival> received; // not yet through the device's UART
    std::string pending;          // on its way to the host
    Clock::time_point rxFree = Clock::now(), txFree = Clock::now();
    uint64_t totalIn = 0, totalOut = 0;
    bool wasHungUp = true;
    Clock::time_point listenerSince = Clock::now();
    LineFormat lastWarned{-1, false};
    while (!gStop) {
        // Paced: sleep only until the next byte is due on either side.
        int timeout = 20;
        if (paced && (!received.empty() || !pending.empty())) {
            const auto due = std::min(received.empty() ? Clock::time_point::max() : rxFree,
                                      pending.empty() ? Clock::time_point::max() : txFree);
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(wait, 0, 20));
        }
        // Edge-triggered, so a hung-up line does not wake us again and again,
        // yet bytes are read the moment they arrive: the settings they were
        // sent at are those in force now, before the sender can change them.
        struct epoll_event event {};
        if (::epoll_wait(waiter, &event, 1, timeout) < 0 && errno != EINTR) {
            Log(std::string("epoll_wait failed: ") + std::strerror(errno));
            break;
        }
        struct pollfd p {pty.master, POLLIN, 0};
        const bool readable = ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
        const bool hangup = (p.revents & POLLHUP) && !readable;
        if (hangup && !wasHungUp) {
            // What was still on its way is lost with the listener.
            pending.clear();
            const int before = pty.master;
            if (!ReleaseAfterHangup(pty, link))
                break;
            if (pty.master != before && !Watch(waiter, pty.master))
                break;
        }
        if (!hangup && wasHungUp)
            listenerSince = Clock::now();
        wasHungUp = hangup;
        // Someone who opens the port and closes it again at once hears nothing unasked.
        const bool listening = !hangup && Clock::now() - listenerSince >= kSettleTime;
        const LineFormat format = ReadFormat(pty.master);
        while (!recentFormats.empty() && Clock::now() - recentFormats.front().first > kSettingsSpan)
            recentFormats.pop_front();
        for (bool more = readable; more;) {
            char buffer[4096];
            const ssize_t got = ::read(pty.master, buffer, sizeof buffer);
            more = got == static_cast<ssize_t>(sizeof buffer);
            if (got > 0) {
                const std::string bytes(buffer, static_cast<size_t>(got));
                totalIn += bytes.size();
                LogBytes("RX", bytes, format.baud);
                if (received.empty())
                    rxFree = std::max(rxFree, Clock::now());
                received.push_back({bytes, format, {}, Clock::now()});
                for (const auto &recent : recentFormats)
                    received.back().lately.push_back(recent.second);
            }
        }
        if (!recentFormats.empty() && recentFormats.back().second == format)
            recentFormats.back().first = Clock::now();
        else
            recentFormats.emplace_back(Clock::now(), format);
        // Through the UART one byte at a time: a byte may change the mode,
        // and with it the settings the next byte must match.
        std::string out;
        while (!received.empty() && (!paced || rxFree <= Clock::now())) {
            Arrival &a = received.front();
            const int rate = device.LineRate();
            // The leeway covers the hand-over between the tool (9600) and the
            // bootloader library (19200) only; any other setting is never heard.
            const bool handOver = Matches(a.format, 9600) || Matches(a.format, options.bootBaud);
            const bool heard = Matches(a.format, rate) ||
                               (handOver && std::any_of(a.lately.begin(), a.lately.end(),
                                                        [rate](auto &f) { return Matches(f, rate); }));
            if (heard)
                lastWarned = LineFormat{-1, false};
            else if (!(a.format == lastWarned)) {
                lastWarned = a.format;
                Log("LINE host sends at " + Describe(a.format) + ", the device listens at " + std::to_string(rate) +
                    " 8N1: bytes arrive garbled");
            }
            const char byte = heard ? a.bytes.front() : Garbled(a.bytes.front());
            // The device takes the byte when it came off the line (unpaced:
            // when it came out of the pty), not when this process got round to
            // it: on a busy machine we run late, and bytes that came back to
            // back must not look like a pause in the middle of a frame.
            const Clock::time_point taken = paced ? rxFree : a.read;
            if (paced)
                rxFree += CharTime(a.format.baud);
            a.bytes.erase(0, 1);
            if (a.bytes.empty())
                received.pop_front();
            std::string reply = device.Receive(std::string_view(&byte, 1), taken);
            if (!reply.empty() && !Matches(format, rate))
                reply = GarbledAll(reply);
            out += reply;
        }
        {
            const bool matches = Matches(format, device.LineRate());
            const std::string timed = device.Tick(Clock::now(), listening, matches);
            out += matches ? timed : GarbledAll(timed);
        }
        if (!out.empty()) {
            LogBytes("TX", out, format.baud);
            if (device.CurrentMode() != DeviceSimulator::Mode::Decoder)
                device.CountSent(out.size());
            if (pending.empty())
                txFree = std::max(txFree, Clock::now());
            pending += out;
        }
        if (!pending.empty()) {
            size_t allowed = pending.size();
            if (paced) {
                const auto now = Clock::now();
                const auto perChar = CharTime(format.baud);
                allowed = 0;
                while (allowed < pending.size() && txFree + perChar * static_cast<long>(allowed) <= now)
                    ++allowed;
            }
            const ssize_t put = allowed ? ::write(pty.master, pending.data(), allowed) : 0;
            if (put > 0) {
                totalOut += static_cast<uint64_t>(put);
                pending.erase(0, static_cast<size_t>(put));
                if (paced)
                    txFree += CharTime(format.baud) * static_cast<long>(put);
            }
        }
    }

    char target[256] = {};
    const ssize_t len = ::readlink(link.c_str(), target, sizeof target - 1);
    if (len > 0 && std::string(target, static_cast<size_t>(len)) == pty.slave)
        ::unlink(link.c_str());
    ::close(pty.master);
    Log("EXIT received " + std::to_string(totalIn) + " bytes, sent " + std::to_string(totalOut) + " bytes");
    return 0;
}
