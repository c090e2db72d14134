#pragma once

// A program under benchmark as a child process: where it is built, what it
// costs, and the counters the benchmarks report about it.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

// The folder of the running benchmark, where the programs it starts are.
inline std::string BenchBinDirectory()
{
    char buffer[4096];
    const ssize_t got = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    const std::string path(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    return path.substr(0, path.rfind('/') + 1);
}

// A fresh raw pty for a program to open as its serial port: the master end
// (-1 on failure) and the other end's name.
inline int OpenBenchPty(std::string &name)
{
    int master = -1, slave = -1;
    char path[128] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (::openpty(&master, &slave, path, &raw, nullptr) != 0)
        return -1;
    ::close(slave);
    name = path;
    return master;
}

// Starts a program from the benchmark's folder with its stdout on
// `stdoutFd` (-1: /dev/null); the process id, or -1.
inline pid_t SpawnBenchProgram(std::vector<std::string> args, int stdoutFd)
{
    args[0] = BenchBinDirectory() + args[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// CPU time of all the process's threads so far, in nanoseconds.
inline double ProcessCpuNanoseconds(pid_t pid)
{
    double total = 0;
    for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream in(task.path() / "schedstat");
        double onCpu = 0;
        if (in >> onCpu)
            total += onCpu;
    }
    return total;
}

inline long ProcessRssKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// The share of a CPU an idle program takes over 10 s ("cpu_percent"); its
// startup's CPU time shows the reading works, so an idle zero is real.
inline void MeasureIdleCpu(benchmark::State &state, pid_t pid)
{
    using Clock = std::chrono::steady_clock;
    double percent = 0;
    state.counters["startup_cpu_ms"] = ProcessCpuNanoseconds(pid) / 1e6;
    for (auto _ : state) {
        const double before = ProcessCpuNanoseconds(pid);
        const Clock::time_point start = Clock::now();
        ::sleep(10);
        const double wall = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        percent = 100.0 * (ProcessCpuNanoseconds(pid) - before) / wall;
    }
    state.counters["cpu_percent"] = percent;
}

// Median and 99th percentile of latencies in microseconds.
inline void ReportLatencies(benchmark::State &state, std::vector<double> micros)
{
    if (micros.empty())
        return;
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}
