// The decoder simulator as a process: what it makes of the host's line
// settings, and how it leaves its port when a program dies holding it.

#include "simprocess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr int kNobody = 65534;

// Asks for the serial number with the given settings; returns what came back
// within a second, up to the first CR.
std::string AskAt(const std::string &port, speed_t speed, tcflag_t size = CS8)
{
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return "open failed";
    struct termios tio {};
    ::tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cflag = (tio.c_cflag & ~CSIZE) | size;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    ::tcsetattr(fd, TCSANOW, &tio);
    const std::string command = "0\x1e" "C\x1e" "GS\n\r";
    if (::write(fd, command.data(), command.size()) != static_cast<ssize_t>(command.size())) {
        ::close(fd);
        return "write failed";
    }
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd p {fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char c = 0;
        if (::read(fd, &c, 1) != 1)
            break;
        if (c == '\r') {
            if (reply.rfind("0\x1e" "C\x1e" "GS", 0) == 0)
                break;
            reply.clear(); // the greeting
            continue;
        }
        reply += c;
    }
    ::close(fd);
    return reply;
}

// Runs `body` in a child as an ordinary user; returns its exit code.
template <class F>
int AsNobody(F body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(126);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Opens the port as the tool does: exclusive, locked.
int OpenLikeTheTool(const std::string &port)
{
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        ::close(fd);
        return -error;
    }
    return fd;
}

} // namespace

TEST(DecoderSimulator, UnderstandsOnly9600And8N1InDecoderMode)
{
    SimProcess sim({"--serial", "S-1"});
    EXPECT_EQ(AskAt(sim.Port(), B9600), "0\x1e" "C\x1e" "GS\x1e" "S-1\n") << sim.Log();
    for (const auto &[speed, size] : {std::pair{B1200, CS8}, std::pair{B38400, CS8}, std::pair{B9600, CS7}}) {
        EXPECT_EQ(AskAt(sim.Port(), speed, size), "");
        EXPECT_TRUE(sim.WaitForLog("the device listens at 9600 8N1: bytes arrive garbled", 5s)) << sim.Log();
    }
    EXPECT_EQ(AskAt(sim.Port(), B9600), "0\x1e" "C\x1e" "GS\x1e" "S-1\n") << sim.Log();
}

// A tool killed with the port open leaves the exclusive flag behind; the
// next ordinary user must still get the port, whoever runs the simulator.
TEST(DecoderSimulator, PortOpensAgainAfterTheHolderWasKilled)
{
    for (const int simUser : {-1, kNobody}) {
        SimProcess sim({}, false, simUser);
        char slave[PATH_MAX] = {};
        ASSERT_NE(::realpath(sim.Port().c_str(), slave), nullptr);
        ::chmod(slave, 0666);
        if (simUser < 0)
            ::chmod(sim.Directory().c_str(), 0755); // for the ordinary user

        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t tool = ::fork();
        if (tool == 0) {
            if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                ::_exit(126);
            const char ok = OpenLikeTheTool(sim.Port()) >= 0 ? 'y' : 'n';
            [[maybe_unused]] ssize_t n = ::write(ready[1], &ok, 1);
            ::pause();
            ::_exit(0);
        }
        char opened = 0;
        ASSERT_EQ(::read(ready[0], &opened, 1), 1);
        ::close(ready[0]);
        ::close(ready[1]);
        ASSERT_EQ(opened, 'y') << sim.Log();
        std::this_thread::sleep_for(200ms); // connected for a while, as a user would be
        ::kill(tool, SIGKILL);
        ::waitpid(tool, nullptr, 0);

        int result = 0;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        do {
            std::this_thread::sleep_for(50ms);
            result = AsNobody([&] {
                const int fd = OpenLikeTheTool(sim.Port());
                return fd >= 0 ? 0 : -fd;
            });
        } while (result != 0 && std::chrono::steady_clock::now() < deadline);
        EXPECT_EQ(result, 0) << "simulator user " << simUser << ": " << std::strerror(result) << "\n" << sim.Log();
        // And the decoder still answers there.
        EXPECT_EQ(AskAt(sim.Port(), B9600).substr(0, 7), "0\x1e" "C\x1e" "GS\x1e") << sim.Log();
    }
}
