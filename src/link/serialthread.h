#pragma once

#include "serialtypes.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// The event thread of an open port. It sleeps until the device, a finished
// write or a stop request wakes it, works out which line events occurred and
// hands each batch to `deliver`. It never reads data itself.
class TSerialThread : public std::enable_shared_from_this<TSerialThread> {
public:
    using Deliver = std::function<void(TSerialEvents batch)>;

    // Raises ESerialPort 1 when the kernel objects cannot be created.
    // readableEvent: a remote device's (RemoteSerialDevice::ReadableEvent),
    // waited on instead of the device where that cannot be waited on; -1
    // for a device that can.
    TSerialThread(int deviceFd, TSerialEvents mask, int inputSize, int readableEvent = -1);
    ~TSerialThread();

    void Start(Deliver deliver);

    // Any thread; the thread ends at its next wake-up and touches the device
    // no more once it has seen the request.
    void RequestStop();
    // UI thread: waits for the end while running pending hand-overs.
    void Join();
    // Lets a thread that cannot be joined now end on its own.
    void Detach();
    bool Finished() const { return finished_.load(); }
    bool IsCurrentThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    // After a write: report evTxEmpty once the output queue has drained.
    // `microsPerChar` paces the re-checks while bytes are still queued.
    void NotifyWritten(int microsPerChar);

    // UI-thread bookkeeping: while > 0 the thread is blocked in a hand-over
    // that the UI is running right now, so it cannot be joined from there.
    int deliveryDepth = 0;

private:
    void Run();
    // Stops and joins the thread, or lets it go when called on it.
    void EndThread();
    void SignalDone();

    int deviceFd_;
    int readableEvent_;
    TSerialEvents mask_;
    int inputSize_;
    Deliver deliver_;
    int epollFd_ = -1;
    int stopFd_ = -1;
    int txFd_ = -1;
    int doneFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> microsPerChar_{1000};
    std::thread thread_;
};
