#pragma once

#include <chrono>
#include <functional>

// The command line's stand-in for an event loop: waits for a condition, a
// deadline or a stop signal while running the serial port's hand-overs
// (its received-data events, a lost device among them).
namespace cli {

class OutQueue;

class EventWait {
public:
    using Clock = std::chrono::steady_clock;
    enum class Result { Done, TimedOut, Stopped };

    // Takes the stop signals (SIGINT and SIGTERM; on Windows Ctrl+C,
    // Ctrl+Break and closing the console): they end waits instead of the process.
    EventWait();
    ~EventWait();
    EventWait(const EventWait &) = delete;
    EventWait &operator=(const EventWait &) = delete;

    // Runs hand-overs until done() holds, the deadline passes or a stop
    // signal came (now or earlier). done() is checked first and after every
    // wake-up; no deadline means wait for ever.
    Result Until(const std::function<bool()> &done, Clock::time_point deadline = Clock::time_point::max());
    // The pause between commands.
    void Pause(int milliseconds);
    // Runs what is waiting now, without blocking.
    void RunPending();

    bool StopRequested() const { return stopped_; }
    // Waits also write the queue's lines as stdout takes them; null: none.
    void WatchOutput(OutQueue *queue) { output_ = queue; }
    // Waits write the queue's lines while this lives.
    struct OutputScope {
        OutputScope(EventWait &wait, OutQueue &queue) : wait(wait) { wait.WatchOutput(&queue); }
        ~OutputScope() { wait.WatchOutput(nullptr); }
        OutputScope(const OutputScope &) = delete;
        OutputScope &operator=(const OutputScope &) = delete;
        EventWait &wait;
    };
    // At the end of a run: waits until the queue's lines are out, unless a
    // stop asks not to wait for the reader, and reports lines dropped on
    // stderr. False when the reader has gone.
    bool FinishOutput(OutQueue &queue);

private:
    Result Wait(const std::function<bool()> &done, Clock::time_point deadline, bool stopEnds);

    // Per system: sleeps until hand-overs wait, a stop signal comes or
    // timeoutMs (-1: no limit) passes; runs the hand-overs and notes the
    // stop. False when waiting failed.
    bool WaitOnce(int timeoutMs);

    bool stopped_ = false;
    OutQueue *output_ = nullptr;
};

} // namespace cli
