#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

// karvenzop-cli (or any program) as a child process with its own stdin,
// stdout and stderr pipes.
class CliProcess {
public:
    explicit CliProcess(const std::vector<std::string> &argv, const std::string &input = {});
    ~CliProcess();
    CliProcess(const CliProcess &) = delete;
    CliProcess &operator=(const CliProcess &) = delete;

    // The next stdout line without its "\n"; false when none came in time.
    bool ReadLine(std::string &line, int timeoutMs);
    void Signal(int signal) const;
    // Waits for the end, collecting the rest of both outputs; the exit code,
    // or -1 when it did not end in time (it is killed then).
    int Wait(int timeoutMs);

    std::string out;   // what stdout had beyond the lines read
    std::string err;

private:
    void Collect(int timeoutMs);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string pendingOut_;
};

struct CliResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// karvenzop-cli from the bin folder with these arguments, run to its end.
CliResult RunCli(const std::vector<std::string> &args, const std::string &input = {}, int timeoutMs = 30000);
std::string CliPath();
// Polls done() every 20 ms until it holds or the timeout passes.
bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout);
