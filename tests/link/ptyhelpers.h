#pragma once

// Helpers for tests that play the decoder on the master side of a real
// pseudo-terminal while the test thread plays the user-interface thread.

#include "mainthreadsync.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

struct PtyPair {
    int master = -1;
    std::string slavePath;

    PtyPair()
    {
        int slave = -1;
        char name[128] = {};
        struct termios raw{};
        cfmakeraw(&raw);
        if (openpty(&master, &slave, name, &raw, nullptr) != 0)
            std::abort();
        slavePath = name;
        // Only the component keeps the slave open, like a real device.
        close(slave);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        fcntl(master, F_SETFD, FD_CLOEXEC);
    }
    ~PtyPair() { CloseMaster(); }
    void CloseMaster()
    {
        if (master >= 0)
            close(master);
        master = -1;
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    void Send(const std::string &bytes) const
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else {
                pollfd p{master, POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
    }

    // Reads from the master until `count` bytes came or the time ran out.
    std::string Receive(size_t count, int timeoutMs = 5000) const
    {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            char buffer[4096];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                got.append(buffer, static_cast<size_t>(n));
                continue;
            }
            pollfd p{master, POLLIN, 0};
            poll(&p, 1, 50);
        }
        return got;
    }
};

// Plays the UI thread's event loop: runs hand-overs until `done` holds or
// the time runs out. Returns whether `done` held.
inline bool PumpUntil(const std::function<bool()> &done, int timeoutMs = 10000)
{
    auto &sync = MainThreadSync::Instance();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        pollfd p{sync.WakeFd(), POLLIN, 0};
        if (poll(&p, 1, 20) > 0)
            sync.CheckSynchronize();
    }
    return true;
}

// Runs hand-overs for a while regardless.
inline void PumpFor(int ms)
{
    PumpUntil([] { return false; }, ms);
}

inline int CountEntries(const char *dir)
{
    int count = 0;
    if (DIR *d = opendir(dir)) {
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ++count;
        closedir(d);
    }
    return count;
}

// Counted without the descriptor opendir itself uses.
inline int OpenFdCount() { return CountEntries("/proc/self/fd") - 1; }
inline int ThreadCount() { return CountEntries("/proc/self/task"); }

inline bool WaitUntil(const std::function<bool()> &done, int timeoutMs = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        usleep(5000);
    }
    return true;
}
