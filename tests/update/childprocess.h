#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

// A server program started by a test; stopped (and reaped) on destruction.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string> &argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Reads the child's output until a line containing the text appears;
    // returns that line, or an empty string on time-out or exit.
    std::string WaitForLine(std::string_view text, int timeoutMs = 20000);
    bool Running();

private:
    pid_t pid_ = -1;
    int outputFd_ = -1;
    std::string pending_;
};

// A temporary folder removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &Path() const { return path_; }
    void WriteFile(const std::string &relativeName, const std::string &bytes) const;

private:
    std::string path_;
};

// True once something accepts connections on 127.0.0.1:port.
bool WaitUntilListening(int port, int timeoutMs = 20000);
bool ProgramAvailable(const std::string &path);
// The number after "port " in a line such as "Serving ... on 127.0.0.1 port 8469".
int PortFromLine(const std::string &line);
// Bytes that are not all alike, so a misplaced piece shows.
std::string PatternBytes(size_t size);
