#pragma once

#include <chrono>
#include <functional>

// The command line's stand-in for an event loop: waits for a condition, a
// deadline or a stop signal while running the serial port's hand-overs
// (its received-data events), and notices a device that hung up.
namespace cli {

class EventWait {
public:
    using Clock = std::chrono::steady_clock;
    enum class Result { Done, TimedOut, Stopped, HungUp };

    // Takes the stop signals (SIGINT and SIGTERM; on Windows Ctrl+C,
    // Ctrl+Break and closing the console): they end waits instead of the process.
    EventWait();
    ~EventWait();
    EventWait(const EventWait &) = delete;
    EventWait &operator=(const EventWait &) = delete;

    // Runs hand-overs until done() holds, the deadline passes, a stop signal
    // came (now or earlier) or watchFd reports a hang-up. done() is checked
    // first and after every wake-up; no deadline means wait for ever.
    Result Until(const std::function<bool()> &done, Clock::time_point deadline = Clock::time_point::max(),
                 int watchFd = -1);
    // The pause between commands.
    void Pause(int milliseconds);
    // Runs what is waiting now, without blocking.
    void RunPending();

    bool StopRequested() const { return stopped_; }

private:
    Result Wait(const std::function<bool()> &done, Clock::time_point deadline, int watchFd, bool stopEnds);

    enum class Woke { Events, HungUp, Failed };
    // Per system: sleeps until hand-overs wait, a stop signal comes, watchFd
    // hangs up or timeoutMs (-1: no limit) passes; runs the hand-overs and
    // notes the stop.
    Woke WaitOnce(int timeoutMs, int watchFd);

    bool stopped_ = false;
};

} // namespace cli
