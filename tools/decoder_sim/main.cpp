// decoder_sim: a KARVEN decoder on a pseudo-terminal, for trying the tool
// and for tests without hardware. See --help.

#include "devicesim.h"

#include <cerrno>
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
        "  --dump FILE                write the programmed image to FILE after each update\n"
        "  --fault corrupt-frame=N    the Nth page write arrives damaged once\n"
        "  --fault drop-after=N       the line goes silent after N page writes, until a new entry\n"
        "  --fault no-bootloader      the boot sign is never answered\n"
        "  --seed N                   seed for the telegram reports\n",
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

} // namespace

int main(int argc, char **argv)
{
    SimOptions options;
    std::string link;
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

    int master = -1, slave = -1;
    char slaveName[256] = {};
    if (::openpty(&master, &slave, slaveName, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "decoder_sim: openpty: %s\n", std::strerror(errno));
        return 1;
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

    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "decoder_sim: %s exists and is not a symlink\n", link.c_str());
            return 1;
        }
        ::unlink(link.c_str());
    }
    if (::symlink(slaveName, link.c_str()) != 0) {
        std::fprintf(stderr, "decoder_sim: symlink %s: %s\n", link.c_str(), std::strerror(errno));
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    DeviceSimulator device(options, Log);
    Log(std::string("READY ") + link + " -> " + slaveName);

    std::string pending;
    uint64_t totalIn = 0, totalOut = 0;
    while (!gStop) {
        struct pollfd p {master, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0};
        const int ready = ::poll(&p, 1, 20);
        if (ready < 0 && errno != EINTR) {
            Log(std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        const bool hangup = ready > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN);
        struct termios now {};
        ::tcgetattr(master, &now);
        const int baud = BaudOf(cfgetispeed(&now));
        std::string out;
        if (ready > 0 && (p.revents & POLLIN)) {
            char buffer[4096];
            const ssize_t got = ::read(master, buffer, sizeof buffer);
            if (got > 0) {
                const std::string bytes(buffer, static_cast<size_t>(got));
                totalIn += bytes.size();
                LogBytes("RX", bytes, baud);
                out += device.Receive(bytes, DeviceSimulator::Clock::now());
            }
        }
        out += device.Tick(DeviceSimulator::Clock::now(), !hangup);
        if (!out.empty()) {
            LogBytes("TX", out, baud);
            if (device.CurrentMode() != DeviceSimulator::Mode::Decoder)
                device.CountSent(out.size());
            pending += out;
        }
        if (!pending.empty()) {
            const ssize_t put = ::write(master, pending.data(), pending.size());
            if (put > 0) {
                totalOut += static_cast<uint64_t>(put);
                pending.erase(0, static_cast<size_t>(put));
            }
        }
        if (hangup) {
            // Nobody has the port open: poll would report the hangup at once, again and again.
            ::usleep(20000);
        }
    }

    char target[256] = {};
    const ssize_t len = ::readlink(link.c_str(), target, sizeof target - 1);
    if (len > 0 && std::string(target, static_cast<size_t>(len)) == slaveName)
        ::unlink(link.c_str());
    ::close(master);
    Log("EXIT received " + std::to_string(totalIn) + " bytes, sent " + std::to_string(totalOut) + " bytes");
    return 0;
}
