#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// Hands work from worker threads to the user-interface thread without a
// toolkit. The UI watches WakeFd() (an eventfd that is readable, on Windows
// an event handle that is signalled, while hand-overs wait) and calls
// CheckSynchronize(), which runs them on the UI thread.
class MainThreadSync {
public:
    static MainThreadSync &Instance();

    // The thread that runs hand-overs: by default the one that first asked
    // for the instance.
    void SetMainThread(std::thread::id id);
    bool IsMainThread() const;

    // From a worker: runs fn on the UI thread and blocks until it has run;
    // an exception from fn is rethrown here. On the UI thread fn runs at once.
    void Synchronize(std::function<void()> fn);

    // From a worker: queues fn for the UI thread and returns at once. An
    // exception from fn goes to the default error handler.
    void Post(const void *owner, std::function<void()> fn);
    // Drops queued, not yet started Post()s of an owner (it is going away).
    void CancelPosted(const void *owner);

    int WakeFd() const { return wakeFd_; }

    // On the UI thread: runs the hand-overs waiting now; true if any ran.
    bool CheckSynchronize();

    // On the UI thread: waits until fd is readable, running hand-overs in
    // the meantime, so a worker blocked in Synchronize() can finish.
    void WaitWhileSynchronizing(int fd);

    MainThreadSync(const MainThreadSync &) = delete;
    MainThreadSync &operator=(const MainThreadSync &) = delete;

private:
    MainThreadSync();
    ~MainThreadSync();

    struct Request {
        std::function<void()> fn;
        const void *owner = nullptr;
        bool synchronous = false;
        bool done = false;
        std::exception_ptr error;
    };

    // Per platform: make WakeFd() signalled, and clear it again.
    void Wake();
    void DrainWake();

    mutable std::mutex mutex_;
    std::condition_variable finished_;
    std::deque<std::shared_ptr<Request>> queue_;
    std::thread::id mainThread_;
    int wakeFd_ = -1;
};
