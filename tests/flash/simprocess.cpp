#include "simprocess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

int OpenRaw9600(const std::string &port)
{
    const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("open " + port + ": " + std::strerror(errno));
    struct termios tio {};
    ::tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    ::tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

void WriteAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put <= 0)
            throw std::runtime_error(std::string("write: ") + std::strerror(errno));
        done += static_cast<size_t>(put);
    }
}

} // namespace

std::string BinDirectory()
{
    char buffer[4096];
    const ssize_t got = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    std::string path(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    return path.substr(0, path.rfind('/') + 1);
}

std::string MakeTempDirectory()
{
    std::string pattern = "/tmp/kzflash-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void RemoveTree(const std::string &dir)
{
    if (dir.rfind("/tmp/kzflash-", 0) != 0)
        return;
    const std::string command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0) {
        // Leftovers in /tmp do no harm.
    }
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

SimProcess::SimProcess(const std::vector<std::string> &extraArgs, bool paced, int uid)
{
    dir_ = MakeTempDirectory();
    if (uid >= 0)
        ::chmod(dir_.c_str(), 0777);
    port_ = dir_ + "/ttyKARVEN0";
    logPath_ = dir_ + "/sim.log";
    std::string program = BinDirectory() + "decoder_sim";
    if (uid >= 0) {
        // The other user may not reach the build folder (a checkout under
        // /root): the simulator runs from a copy in its own open folder.
        const std::string copy = dir_ + "/decoder_sim";
        WriteFile(copy, ReadFile(program));
        ::chmod(copy.c_str(), 0755);
        program = copy;
    }
    std::vector<std::string> args = {program, "--link", port_, "--dump", DumpPath()};
    if (!paced)
        args.push_back("--no-pacing");
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());

    pid_ = ::fork();
    if (pid_ == 0) {
        const int log = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(log, 1);
        ::dup2(log, 2);
        if (uid >= 0 && (::setgid(static_cast<gid_t>(uid)) != 0 || ::setuid(static_cast<uid_t>(uid)) != 0))
            ::_exit(126);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (!WaitForLog("READY", std::chrono::seconds(20)))
        throw std::runtime_error("decoder_sim did not start: " + Log());
}

SimProcess::~SimProcess()
{
    Stop();
    RemoveTree(dir_);
}

bool SimProcess::Stop()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    return !FileExists(port_);
}

std::string SimProcess::Log() const { return ReadFile(logPath_); }

bool SimProcess::WaitForLog(const std::string &text, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (Log().find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string MakeFirmwareContainer(const std::string &image, const std::string &version)
{
    const std::string dir = MakeTempDirectory();
    WriteFile(dir + "/image.bin", image);
    const std::string command = BinDirectory() + "mkfirmware --target KARVEN-C469 --version " + version + " '" + dir +
                                "/image.bin' '" + dir + "/out.acy' > /dev/null";
    const std::string container = std::system(command.c_str()) == 0 ? ReadFile(dir + "/out.acy") : std::string();
    RemoveTree(dir);
    return container;
}

void SendEntryCommand(const std::string &port)
{
    const int fd = OpenRaw9600(port);
    WriteAll(fd, std::string("0\x1e" "C\x1e" "B\n\r"));
    ::tcdrain(fd);
    ::close(fd);
}

std::string AskDecoder(const std::string &port, const std::string &code)
{
    const int fd = OpenRaw9600(port);
    const std::string prefix = "0\x1e" "C\x1e" + code;
    WriteAll(fd, prefix + "\n\r");
    // Skip other lines (the start banner, telegrams) until the reply.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd p {fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char c;
        if (::read(fd, &c, 1) != 1)
            break;
        if (c != '\r') {
            line += c;
            continue;
        }
        if (line.rfind(prefix, 0) == 0)
            break;
        line.clear();
    }
    ::close(fd);
    return line;
}
