#include "serialthread.h"

#include "mainthreadsync.h"
#include "serialerror.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <linux/serial.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

void DrainEventFd(int fd)
{
    std::uint64_t value;
    [[maybe_unused]] ssize_t n = read(fd, &value, sizeof value);
}

void CloseFd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

// A remote device's socket is waited on like a tty: readableEvent is not needed.
TSerialThread::TSerialThread(int deviceFd, TSerialEvents mask, int inputSize, int readableEvent)
    : deviceFd_(deviceFd), readableEvent_(readableEvent), mask_(mask), inputSize_(inputSize)
{
    stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int error = errno;
    if (stopFd_ >= 0) {
        txFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        error = errno;
    }
    if (txFd_ >= 0) {
        doneFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        error = errno;
    }
    if (doneFd_ >= 0) {
        epollFd_ = epoll_create1(EPOLL_CLOEXEC);
        error = errno;
    }
    if (epollFd_ >= 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = stopFd_;
        int rc = epoll_ctl(epollFd_, EPOLL_CTL_ADD, stopFd_, &ev);
        ev.data.fd = txFd_;
        if (rc == 0)
            rc = epoll_ctl(epollFd_, EPOLL_CTL_ADD, txFd_, &ev);
        // Edge-triggered: a wake-up means new bytes arrived. Bytes a handler
        // leaves in the queue are reported again only with further bytes,
        // and a level-triggered wait would spin on them.
        ev.events = EPOLLIN | EPOLLET;
        ev.data.fd = deviceFd_;
        if (rc == 0)
            rc = epoll_ctl(epollFd_, EPOLL_CTL_ADD, deviceFd_, &ev);
        if (rc == 0)
            return;
        error = errno;
    }
    CloseFd(epollFd_);
    CloseFd(doneFd_);
    CloseFd(txFd_);
    CloseFd(stopFd_);
    RaiseSerialError(SerialError::OpenFailed, error);
}

TSerialThread::~TSerialThread()
{
    EndThread();
    CloseFd(epollFd_);
    CloseFd(doneFd_);
    CloseFd(txFd_);
    CloseFd(stopFd_);
}

void TSerialThread::RequestStop()
{
    stop_.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(stopFd_, &one, sizeof one);
}

void TSerialThread::Join()
{
    if (!thread_.joinable())
        return;
    if (MainThreadSync::Instance().IsMainThread())
        MainThreadSync::Instance().WaitWhileSynchronizing(doneFd_);
    thread_.join();
}

void TSerialThread::NotifyWritten(int microsPerChar)
{
    microsPerChar_.store(std::max(1, microsPerChar));
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(txFd_, &one, sizeof one);
}

void TSerialThread::SignalDone()
{
    finished_.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(doneFd_, &one, sizeof one);
}

void TSerialThread::Run()
{
    serial_icounter_struct last{};
    // Devices without a UART (ptys, many USB adapters) have no counters.
    bool haveCounters = ioctl(deviceFd_, TIOCGICOUNT, &last) == 0;
    bool watchingDevice = true;
    bool txPending = false;
    int txWaitMs = -1;
    // Cleared by a failing handler: from then on only the hang-up is reported.
    bool delivering = true;

    while (!stop_.load()) {
        epoll_event events[3];
        const int n = epoll_wait(epollFd_, events, 3, txPending ? txWaitMs : -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (stop_.load())
            break;

        TSerialEvents batch = 0;
        bool deviceWoke = false;
        bool hungUp = false;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == txFd_) {
                DrainEventFd(txFd_);
                txPending = true;
            } else if (events[i].data.fd == deviceFd_) {
                deviceWoke = true;
                if (events[i].events & EPOLLIN)
                    batch |= EventBit(evRxChar);
                if (events[i].events & (EPOLLHUP | EPOLLERR))
                    hungUp = true;
            }
        }

        if (deviceWoke && watchingDevice) {
            serial_icounter_struct now{};
            if (haveCounters && ioctl(deviceFd_, TIOCGICOUNT, &now) == 0) {
                if (now.frame != last.frame || now.parity != last.parity || now.overrun != last.overrun ||
                    now.buf_overrun != last.buf_overrun)
                    batch |= EventBit(evError);
                if (now.brk != last.brk)
                    batch |= EventBit(evBreak);
                // Modem line changes do not wake the wait; they are reported
                // with the next wake-up that finds their counters moved.
                if (now.rng != last.rng)
                    batch |= EventBit(evRing);
                if (now.cts != last.cts)
                    batch |= EventBit(evCTS);
                if (now.dsr != last.dsr)
                    batch |= EventBit(evDSR);
                if (now.dcd != last.dcd)
                    batch |= EventBit(evRLSD);
                last = now;
            }
            int queued = 0;
            if ((mask_ & EventBit(evRx80Full)) && inputSize_ > 0 && ioctl(deviceFd_, FIONREAD, &queued) == 0 &&
                queued >= inputSize_ / 10 * 8)
                batch |= EventBit(evRx80Full);
        }

        if (hungUp && watchingDevice) {
            // A vanished device stays hung up; stop waiting on it so the
            // thread sleeps until the port is closed.
            epoll_ctl(epollFd_, EPOLL_CTL_DEL, deviceFd_, nullptr);
            watchingDevice = false;
            batch |= kDeviceGoneBit;
        }

        if (txPending) {
            int outq = 0;
            if (!watchingDevice || ioctl(deviceFd_, TIOCOUTQ, &outq) != 0 || outq <= 0) {
                batch |= EventBit(evTxEmpty);
                txPending = false;
            } else {
                const long long micros = static_cast<long long>(outq) * microsPerChar_.load();
                txWaitMs = static_cast<int>(std::clamp<long long>(micros / 1000, 1, 100));
            }
        }

        batch &= (delivering ? mask_ : 0) | kDeviceGoneBit;
        if (batch == 0)
            continue;
        try {
            deliver_(batch);
        } catch (...) {
            // A failing handler ends event delivery until the port reopens,
            // but not the wait for the hang-up: reading the last bytes of a
            // vanishing device fails before its hang-up has been seen.
            if (!watchingDevice)
                break;
            delivering = false;
        }
    }
    SignalDone();
}
