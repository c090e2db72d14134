// The event thread on Windows: an overlapped WaitCommEvent and the stop
// event, waited for together; the reported mask is the batch.
#include "serialthread.h"

#include "mainthreadsync.h"
#include "oshandle_win.h"
#include "serialerror.h"

namespace {

struct EventCode {
    TSerialEvent event;
    DWORD code;
};
constexpr EventCode kCodes[] = {
    {evRxChar, EV_RXCHAR}, {evTxEmpty, EV_TXEMPTY}, {evRxFlag, EV_RXFLAG}, {evRing, EV_RING},
    {evBreak, EV_BREAK},   {evCTS, EV_CTS},         {evDSR, EV_DSR},       {evError, EV_ERR},
    {evRLSD, EV_RLSD},     {evRx80Full, EV_RX80FULL},
};

constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

bool RefusedModemLines(DWORD error)
{
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION || error == ERROR_OPERATION_ABORTED;
}

DWORD CommMask(TSerialEvents events)
{
    DWORD mask = 0;
    for (const EventCode &c : kCodes)
        if (events & EventBit(c.event))
            mask |= c.code;
    return mask;
}

TSerialEvents EventsOf(DWORD mask)
{
    TSerialEvents events = 0;
    for (const EventCode &c : kCodes)
        if (mask & c.code)
            events |= EventBit(c.event);
    return events;
}

// A remote device's pipe: its device's event tells when bytes arrived or
// the link ended, the pipe's count says which; the end shows as a broken
// pipe once the last bytes have been read. Bytes a handler leaves unread
// hide the end, and the wake-up that told of it may be spent on them: while
// bytes wait unread, the pipe is looked at again now and then.
void WaitOnRemoteDevice(HANDLE pipe, HANDLE stop, HANDLE readable, HANDLE tx, TSerialEvents mask, int inputSize,
                        const std::atomic<bool> &stopping, const TSerialThread::Deliver &deliver)
{
    constexpr DWORD kUnreadCheckMs = 100;
    bool lost = false;
    bool unread = false;
    // Cleared by a failing handler: from then on only the loss is reported.
    bool delivering = true;
    while (!stopping.load()) {
        const HANDLE objects[3] = {stop, readable, tx};
        const DWORD woke =
            WaitForMultipleObjects(lost ? 1 : 3, objects, FALSE, unread && !lost ? kUnreadCheckMs : INFINITE);
        if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED || stopping.load())
            break;
        TSerialEvents batch = 0;
        if (woke == WAIT_OBJECT_0 + 2)
            batch |= EventBit(evTxEmpty);
        DWORD queued = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &queued, nullptr)) {
            lost = true;
            batch |= kDeviceGoneBit;
        } else if (queued > 0 && woke != WAIT_TIMEOUT) {
            // Only new bytes are told of, as a driver does.
            batch |= EventBit(evRxChar);
            if (inputSize > 0 && queued >= static_cast<DWORD>(inputSize / 10 * 8))
                batch |= EventBit(evRx80Full);
        }
        unread = queued > 0;
        batch &= (delivering ? mask : 0) | kDeviceGoneBit;
        if (batch == 0)
            continue;
        try {
            deliver(batch);
            // The link may have ended while the last bytes were read; the
            // event that said so was spent on them.
            if (!lost && (batch & EventBit(evRxChar))) {
                if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &queued, nullptr)) {
                    lost = true;
                    deliver(kDeviceGoneBit);
                } else {
                    unread = queued > 0;
                }
            }
        } catch (...) {
            if (lost)
                break;
            delivering = false;
        }
    }
}

} // namespace

// stopFd_ holds the stop event, doneFd_ an event set when the thread ends
// (the UI waits on it while running hand-overs), txFd_ for a remote device
// an event set after each write; epollFd_ is unused.
TSerialThread::TSerialThread(int deviceFd, TSerialEvents mask, int inputSize, int readableEvent)
    : deviceFd_(deviceFd), readableEvent_(readableEvent), mask_(mask), inputSize_(inputSize)
{
    const HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HANDLE done = stop ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
    const DWORD error = GetLastError();
    if (!stop || !done) {
        if (stop)
            CloseHandle(stop);
        RaiseSerialError(SerialError::OpenFailed, static_cast<int>(error));
    }
    stopFd_ = HandleValue(stop);
    doneFd_ = HandleValue(done);
    if (readableEvent_ != -1) {
        // A remote device has no driver to report its empty output queue.
        const HANDLE tx = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (tx == nullptr) {
            const DWORD txError = GetLastError();
            CloseHandle(stop);
            CloseHandle(done);
            stopFd_ = doneFd_ = -1;
            RaiseSerialError(SerialError::OpenFailed, static_cast<int>(txError));
        }
        txFd_ = HandleValue(tx);
        return;
    }
    if (!SetCommMask(AsHandle(deviceFd_), CommMask(mask_))) {
        const DWORD maskError = GetLastError();
        CloseHandle(stop);
        CloseHandle(done);
        stopFd_ = doneFd_ = -1;
        RaiseSerialError(SerialError::OpenFailed, static_cast<int>(maskError));
    }
}

TSerialThread::~TSerialThread()
{
    EndThread();
    if (stopFd_ != -1)
        CloseHandle(AsHandle(stopFd_));
    if (doneFd_ != -1)
        CloseHandle(AsHandle(doneFd_));
    if (txFd_ != -1)
        CloseHandle(AsHandle(txFd_));
}

void TSerialThread::RequestStop()
{
    stop_.store(true);
    SetEvent(AsHandle(stopFd_));
}

void TSerialThread::Join()
{
    if (!thread_.joinable())
        return;
    Sleep(0);
    if (MainThreadSync::Instance().IsMainThread())
        MainThreadSync::Instance().WaitWhileSynchronizing(doneFd_);
    thread_.join();
}

void TSerialThread::NotifyWritten(int)
{
    // A COM driver reports the empty output queue itself (EV_TXEMPTY); a
    // remote device's bytes have left once the write into its pipe is done.
    if (txFd_ != -1)
        SetEvent(AsHandle(txFd_));
}

void TSerialThread::SignalDone()
{
    finished_.store(true);
    SetEvent(AsHandle(doneFd_));
}

void TSerialThread::Run()
{
    if (readableEvent_ != -1) {
        WaitOnRemoteDevice(AsHandle(deviceFd_), AsHandle(stopFd_), AsHandle(readableEvent_), AsHandle(txFd_), mask_,
                           inputSize_, stop_, deliver_);
        SignalDone();
        return;
    }
    const HANDLE device = AsHandle(deviceFd_);
    const HANDLE stop = AsHandle(stopFd_);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (overlapped.hEvent == nullptr) {
        SignalDone();
        return;
    }
    // Once a wait has been stopped the port is closing and still owns the
    // device; after a delivery that closed the port (a retired thread) the
    // device is gone and must not be touched again.
    bool stoppedInWait = false;
    bool deviceLost = false;
    DWORD commMask = CommMask(mask_);
    // The driver writes the mask when a pending wait completes, possibly
    // only after the loop has ended: it lives as long as the block.
    DWORD mask = 0;
    // Cleared by a failing handler: from then on only the loss is reported.
    bool delivering = true;
    while (!stop_.load()) {
        mask = 0;
        bool completed = false;
        // A vanished device is reported once; then the thread sleeps until
        // the close.
        bool lostNow = false;
        if (!deviceLost) {
            if (WaitCommEvent(device, &mask, &overlapped))
                completed = true;
            else if (RefusedModemLines(GetLastError()) && (commMask & kModemEvents)) {
                // A device without modem lines (a virtual port, wine's pty)
                // refuses a wait that includes them; wait for the rest.
                commMask &= ~kModemEvents;
                if (SetCommMask(device, commMask))
                    continue;
                deviceLost = lostNow = true;
            } else if (GetLastError() != ERROR_IO_PENDING)
                deviceLost = lostNow = true;
        }
        if (!completed && !lostNow) {
            const HANDLE objects[2] = {stop, overlapped.hEvent};
            const DWORD woke = WaitForMultipleObjects(deviceLost ? 1 : 2, objects, FALSE, INFINITE);
            if (woke != WAIT_OBJECT_0 + 1) {
                stoppedInWait = !deviceLost;
                break;
            }
            DWORD ignored = 0;
            if (!GetOverlappedResult(device, &overlapped, &ignored, FALSE))
                continue;
        }
        const TSerialEvents batch = lostNow ? kDeviceGoneBit : delivering ? EventsOf(mask) & mask_ : 0;
        if (batch == 0)
            continue;
        try {
            deliver_(batch);
        } catch (...) {
            // A failing handler ends event delivery until the port reopens,
            // but not the wait for the loss: reading the last bytes of a
            // vanishing device fails before its loss has been seen.
            if (deviceLost) {
                stoppedInWait = false;
                break;
            }
            delivering = false;
        }
    }
    if (stoppedInWait) {
        // Clearing the mask completes the pending wait; then both queues
        // are emptied.
        SetCommMask(device, 0);
        DWORD ignored = 0;
        GetOverlappedResult(device, &overlapped, &ignored, TRUE);
        PurgeComm(device, PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
    CloseHandle(overlapped.hEvent);
    SignalDone();
}
