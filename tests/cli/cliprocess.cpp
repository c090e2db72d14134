#include "cliprocess.h"

#include "simprocess.h"

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

CliProcess::CliProcess(const std::vector<std::string> &argv, const std::string &input)
{
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    // Small inputs fit the pipe; closing it gives the program its end of input.
    if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0) {
    }
    ::close(in[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0]);
}

CliProcess::~CliProcess()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(outFd_);
    ::close(errFd_);
}

void CliProcess::Collect(int timeoutMs)
{
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0)
        return;
    char buffer[4096];
    if (fds[0].revents) {
        const ssize_t n = ::read(outFd_, buffer, sizeof buffer);
        if (n > 0)
            pendingOut_.append(buffer, static_cast<size_t>(n));
    }
    if (fds[1].revents) {
        const ssize_t n = ::read(errFd_, buffer, sizeof buffer);
        if (n > 0)
            err.append(buffer, static_cast<size_t>(n));
    }
}

bool CliProcess::ReadLine(std::string &line, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t newline = pendingOut_.find('\n');
        if (newline != std::string::npos) {
            line = pendingOut_.substr(0, newline);
            pendingOut_.erase(0, newline + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        Collect(static_cast<int>(left.count()));
    }
}

void CliProcess::Signal(int signal) const { ::kill(pid_, signal); }

int CliProcess::Wait(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() > deadline)
            return -1;
        Collect(10);
    }
    pid_ = -1;
    // Whatever is still in the pipes.
    for (int i = 0; i < 100; ++i) {
        const size_t before = pendingOut_.size() + err.size();
        Collect(0);
        if (pendingOut_.size() + err.size() == before)
            break;
    }
    out = pendingOut_;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string CliPath() { return BinDirectory() + "karvenzop-cli"; }

CliResult RunCli(const std::vector<std::string> &args, const std::string &input, int timeoutMs)
{
    std::vector<std::string> argv = {CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    CliProcess process(argv, input);
    CliResult result;
    result.exitCode = process.Wait(timeoutMs);
    result.out = process.out;
    result.err = process.err;
    return result;
}

bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
