#pragma once

// Waiting on the broker's socket, per system: a wake-up another thread can
// raise, and one wait on it and the socket together.
namespace publish {

class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal &) = delete;
    WakeSignal &operator=(const WakeSignal &) = delete;

    // From any thread; the next or current wait returns.
    void Raise();
    // Clears raised wake-ups; true when there were any.
    bool Clear();
    int Fd() const { return fds_[0]; }

private:
    int fds_[2] = {-1, -1};
};

struct SocketReady {
    bool readable = false;
    bool writable = false;
};

// What a poll's result events say about the socket; an error or hang-up
// counts as readable, so the read finds it.
template <class Events>
SocketReady ReadyFrom(Events revents, Events in, Events out, Events trouble)
{
    return {(revents & (in | trouble)) != 0, (revents & out) != 0};
}

// Waits up to timeoutMs for the wake-up, or the socket (-1: none) to become
// readable, or writable when `wantWrite`.
SocketReady WaitForSocket(const WakeSignal &wake, int socket, bool wantWrite, int timeoutMs);

} // namespace publish
