#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

// decoder_sim as a child process on its own pty. Its log goes to a file
// that the tests read; the symlink to the pty lives in a fresh directory.
class SimProcess {
public:
    // Without `paced` the simulator moves bytes as fast as the pty allows.
    // With `uid` >= 0 it runs as that user (and group).
    explicit SimProcess(const std::vector<std::string> &extraArgs, bool paced = false, int uid = -1);
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    const std::string &Port() const { return port_; }
    const std::string &Directory() const { return dir_; }
    std::string DumpPath() const { return dir_ + "/dump.bin"; }
    std::string Log() const;
    bool WaitForLog(const std::string &text, std::chrono::milliseconds timeout) const;
    // Stops the simulator and waits for it; returns true when the symlink is gone.
    bool Stop();

private:
    std::string dir_;
    std::string port_;
    std::string logPath_;
    pid_t pid_ = -1;
};

// Directory of the running test binary, where the other build outputs are.
std::string BinDirectory();
std::string MakeTempDirectory();
void RemoveTree(const std::string &dir);
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);
bool FileExists(const std::string &path);

// A firmware container made by mkfirmware from `image`; empty on failure.
std::string MakeFirmwareContainer(const std::string &image, const std::string &version);

// What the tool does before Connect: the reset command at 9600 baud.
void SendEntryCommand(const std::string &port);
// One decoder command on a fresh 9600 open; returns the reply line (up to CR).
std::string AskDecoder(const std::string &port, const std::string &code);
