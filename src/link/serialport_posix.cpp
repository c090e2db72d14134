// Linux backend of the serial port: a tty device opened non-blocking, set up
// through termios2, with the event thread waiting on it in epoll.
#include "serialport.h"

#include "mainthreadsync.h"
#include "remoteportname.h"
#include "remoteserialdevice.h"
#include "serialthread.h"
#include "termiossettings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Stand-in for the first COM port.
const char *const DefaultPortName = "/dev/ttyS0";

namespace {

using Clock = std::chrono::steady_clock;

// The kernel cannot report what the device does not have: ptys and some
// adapters answer modem and counter requests with these.
bool NotSupported(int error) { return error == ENOTTY || error == EINVAL; }

// The device went away under an open descriptor.
bool DeviceGone(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

// Time-outs are unsigned 32-bit milliseconds; -1 means all bits set.
std::uint64_t Millis(std::int32_t value) { return static_cast<std::uint32_t>(value); }
constexpr std::uint64_t kAllBits = 0xFFFFFFFFu;

// Milliseconds left until `deadline`, at most INT_MAX, never negative.
int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
}

bool ReadCounters(int fd, int (&counts)[5], int &error)
{
    serial_icounter_struct icount{};
    if (ioctl(fd, TIOCGICOUNT, &icount) != 0) {
        error = errno;
        return false;
    }
    counts[0] = icount.frame;
    counts[1] = icount.parity;
    counts[2] = icount.overrun;
    counts[3] = icount.brk;
    counts[4] = icount.buf_overrun;
    return true;
}

} // namespace

void TCustomSerialPort::OpenDevice()
{
    if (IsRemotePortName(port_)) {
        OpenRemoteDevice();
        std::fill(std::begin(errorBase_), std::end(errorBase_), 0);
        return;
    }
    // The name is the device path as it stands; an empty name fails in open().
    const int fd = open(port_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        RaiseOpenError(port_, errno);
    auto fail = [this, fd](int error) {
        close(fd);
        RaiseOpenError(port_, error);
    };
    // TIOCEXCL does not stop root; flock does. Both together keep a second
    // opener out, like an exclusive open on the original platform.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        fail(errno);
    // The kernel raised DTR and RTS in open(); lower those the settings keep
    // inactive at once, so the device sees the shortest pulse the system allows.
    const ModemLineLevels levels = ModemLinesFor(flowControl_.ControlDTR(), flowControl_.ControlRTS());
    const int lower = (levels.dtr ? 0 : TIOCM_DTR) | (levels.rts ? 0 : TIOCM_RTS);
    if (lower != 0)
        ioctl(fd, TIOCMBIC, &lower);
    struct termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        fail(errno); // not a terminal device
    // A tty opened for the first time since it appeared echoes what arrives
    // until it is set raw: a decoder that is talking would hear itself back.
    if (tio.c_lflag & (ECHO | ICANON)) {
        tio.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
        ioctl(fd, TCSETS2, &tio);
    }
    if (ioctl(fd, TIOCEXCL) != 0)
        fail(errno);
    fd_ = fd;
    int error = 0;
    if (!ReadCounters(fd_, errorBase_, error))
        std::fill(std::begin(errorBase_), std::end(errorBase_), 0);
}

void TCustomSerialPort::CloseDevice()
{
    if (fd_ < 0)
        return;
    if (remote_) {
        close(fd_);
        fd_ = -1;
        remote_.reset();
        return;
    }
    // The exclusive flag outlives this descriptor on a tty that someone
    // else keeps open (a pty's master); clear it so the next open works.
    ioctl(fd_, TIOCNXCL);
    close(fd_);
    fd_ = -1;
}

void TCustomSerialPort::PurgeQueues() noexcept
{
    if (fd_ < 0)
        return;
    if (remote_) {
        remote_->Purge();
        return;
    }
    ioctl(fd_, TCFLSH, TCIFLUSH);
    // Only bytes still queued for sending are dropped. On a pty the output
    // queue always reads empty and flushing it would discard what the peer
    // has not read yet, i.e. bytes that have already left: a command written
    // just before the close would be lost.
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0)
        ioctl(fd_, TCFLSH, TCOFLUSH);
}

int TCustomSerialPort::MicrosPerCharacter() const
{
    SerialLineSettings s;
    s.dataBits = dataBits_;
    s.stopBits = stopBits_;
    s.parity = parity_.Bits();
    const int rate = baudRate_ == brCustom ? customBaudRate_ : BaudRateValue(baudRate_);
    if (rate <= 0)
        return 1000;
    return std::max(1, static_cast<int>(1000000LL * BitsPerCharacter(s) / rate));
}

// --- settings

void TCustomSerialPort::ApplyLineSettings()
{
    if (!CanApply())
        return;
    SerialLineSettings s;
    s.baudRate = baudRate_ == brCustom ? customBaudRate_ : BaudRateValue(baudRate_);
    s.dataBits = dataBits_;
    s.stopBits = stopBits_;
    s.parity = parity_.Bits();
    s.parityCheck = parity_.Check();
    s.outCtsFlow = flowControl_.OutCTSFlow();
    s.controlRts = flowControl_.ControlRTS();
    s.controlDtr = flowControl_.ControlDTR();
    s.xonXoffOut = flowControl_.XonXoffOut();
    s.xonXoffIn = flowControl_.XonXoffIn();
    s.xonChar = flowControl_.XonChar();
    s.xoffChar = flowControl_.XoffChar();
    // A zero rate would mean "hang up" to the kernel.
    if (s.baudRate <= 0)
        RaiseSerialError(SerialError::SetStateFailed, EINVAL);
    const ModemLineLevels levels = ModemLinesFor(s.controlDtr, s.controlRts);
    if (remote_) {
        remote_->Configure(s.baudRate, s.dataBits, s.parity, s.stopBits, levels.dtr, levels.rts);
        return;
    }

    struct termios2 current{};
    if (ioctl(fd_, TCGETS2, &current) != 0)
        RaiseSerialError(SerialError::SetStateFailed, errno);
    const struct termios2 wanted = BuildTermios(s, current);
    if (ioctl(fd_, TCSETS2, &wanted) != 0)
        RaiseSerialError(SerialError::SetStateFailed, errno);

    const int dtr = TIOCM_DTR;
    const int rts = TIOCM_RTS;
    if (ioctl(fd_, levels.dtr ? TIOCMBIS : TIOCMBIC, &dtr) != 0 && !NotSupported(errno))
        RaiseSerialError(SerialError::SetStateFailed, errno);
    if (ioctl(fd_, levels.rts ? TIOCMBIS : TIOCMBIC, &rts) != 0 && !NotSupported(errno))
        RaiseSerialError(SerialError::SetStateFailed, errno);
}

void TCustomSerialPort::ApplyTimeoutValues()
{
    // Nothing to hand over: every read and write takes its limits from
    // Timeouts when it starts.
}

void TCustomSerialPort::ApplyBufferSizes()
{
    // Linux tty queues have a fixed size; the values only pace the
    // near-full report of the event thread.
}

// --- transfers

int TCustomSerialPort::WriteString(const std::string &data)
{
    if (data.empty())
        return 0;
    if (fd_ < 0)
        RaiseSerialError(SerialError::WriteFailed, EBADF);
    const std::uint64_t serial = openSerial_;
    ForEachLink([](TSerialLink &link) { if (link.TxActivity) link.TxActivity(true); });
    // A hook that pumped UI events may have closed the port.
    if (!StillOpen(serial) || fd_ < 0)
        RaiseSerialError(SerialError::WriteFailed, EBADF);

    const std::uint64_t total =
        Millis(timeouts_.WriteTotalMultiplier()) * data.size() + Millis(timeouts_.WriteTotalConstant());
    const bool limited = total != 0;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(std::min<std::uint64_t>(total, 24ull * 3600 * 1000));

    size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = write(fd_, data.data() + written, data.size() - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            RaiseSerialError(SerialError::WriteFailed, errno);
        // Output queue full: wait for room until the time-out.
        const int wait = limited ? RemainingMs(deadline) : -1;
        if (wait == 0)
            break;
        pollfd p{fd_, POLLOUT, 0};
        const int ready = poll(&p, 1, wait);
        if (ready < 0 && errno != EINTR)
            RaiseSerialError(SerialError::WriteFailed, errno);
        if (ready == 0)
            break;
    }

    // The write completes when the bytes have left, bounded by the same limit.
    const int microsPerChar = MicrosPerCharacter();
    for (;;) {
        int queued = 0;
        if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0)
            break;
        int wait = static_cast<int>(std::clamp<long long>(static_cast<long long>(queued) * microsPerChar / 1000, 1, 50));
        if (limited) {
            const int left = RemainingMs(deadline);
            if (left == 0)
                break;
            wait = std::min(wait, left);
        }
        poll(nullptr, 0, wait);
    }

    if (thread_)
        thread_->NotifyWritten(microsPerChar);
    const int count = static_cast<int>(written);
    ForEachLink([&](TSerialLink &link) {
        if (link.TxBufferSent)
            link.TxBufferSent(data.data(), count);
    });
    return count;
}

int TCustomSerialPort::ReadBytes(char *buffer, int count)
{
    const std::uint64_t interval = Millis(timeouts_.ReadInterval());
    const std::uint64_t multiplier = Millis(timeouts_.ReadTotalMultiplier());
    const std::uint64_t constant = Millis(timeouts_.ReadTotalConstant());
    // The usual combinations of the original interface: "return what is
    // queued", "wait up to the constant for the first byte", and total and
    // interval limits (0 = none).
    const bool immediate = interval == kAllBits && multiplier == 0 && constant == 0;
    const bool firstByte = interval == kAllBits && multiplier == kAllBits && constant > 0 && constant < kAllBits;
    const std::uint64_t total = firstByte ? constant : multiplier * static_cast<std::uint64_t>(count) + constant;
    const bool useInterval = !firstByte && interval != 0 && interval != kAllBits;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(std::min<std::uint64_t>(total, 24ull * 3600 * 1000));
    Clock::time_point lastByte = Clock::now();

    int got = 0;
    while (got < count) {
        const ssize_t n = read(fd_, buffer + got, static_cast<size_t>(count - got));
        if (n > 0) {
            got += static_cast<int>(n);
            lastByte = Clock::now();
            continue;
        }
        if (n == 0)
            break; // hung-up line: nothing more will come
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            RaiseSerialError(SerialError::ReadFailed, errno);
        if (immediate || (firstByte && got > 0))
            break;
        int wait = -1;
        if (total != 0) {
            wait = RemainingMs(deadline);
            if (wait == 0)
                break;
        }
        if (useInterval && got > 0) {
            const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastByte).count();
            const long long left = static_cast<long long>(interval) - since;
            if (left <= 0)
                break;
            const long long cap = wait < 0 ? std::numeric_limits<int>::max() : wait;
            wait = static_cast<int>(std::min(left, cap));
        }
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, wait);
        if (ready < 0 && errno != EINTR)
            RaiseSerialError(SerialError::ReadFailed, errno);
        if (ready == 0)
            break;
    }
    return got;
}

int TCustomSerialPort::ReadString(std::string &data, int count)
{
    if (count <= 0) {
        data.clear();
        return 0;
    }
    if (fd_ < 0)
        RaiseSerialError(SerialError::ReadFailed, EBADF);
    data.resize(static_cast<size_t>(count));
    int got = 0;
    try {
        got = ReadBytes(data.data(), count);
    } catch (...) {
        data.clear();
        throw;
    }
    data.resize(static_cast<size_t>(got));
    if (InputQueueCount() == 0)
        ForEachLink([](TSerialLink &link) { if (link.RxActivity) link.RxActivity(false); });
    return got;
}

// --- queue, lines, errors

int TCustomSerialPort::InputQueueCount()
{
    if (fd_ < 0)
        RaiseSerialError(SerialError::ClearErrorFailed, EBADF);
    int queued = 0;
    if (ioctl(fd_, FIONREAD, &queued) != 0)
        RaiseSerialError(SerialError::ClearErrorFailed, errno);
    return queued;
}

std::uint8_t TCustomSerialPort::ModemSignals()
{
    if (fd_ < 0)
        RaiseSerialError(SerialError::ModemStatusFailed, EBADF);
    if (remote_)
        return remote_->ModemLines();
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) != 0) {
        const int error = errno;
        // No modem lines at all (ptys): every line reads as off.
        if (NotSupported(error))
            return 0;
        RaiseSerialError(SerialError::ModemStatusFailed, error);
    }
    std::uint8_t signals = 0;
    if (lines & TIOCM_CTS)
        signals |= msCTS;
    if (lines & TIOCM_DSR)
        signals |= msDSR;
    if (lines & TIOCM_RNG)
        signals |= msRing;
    if (lines & TIOCM_CAR)
        signals |= msRLSD;
    return signals;
}

TSerialErrors TCustomSerialPort::LineErrors()
{
    if (fd_ < 0)
        RaiseSerialError(SerialError::ClearErrorFailed, EBADF);
    if (remote_)
        return TakeRemoteErrors();
    int now[5];
    int error = 0;
    if (!ReadCounters(fd_, now, error)) {
        if (NotSupported(error))
            return 0;
        RaiseSerialError(SerialError::ClearErrorFailed, error);
    }
    TSerialErrors errors = 0;
    if (now[0] != errorBase_[0])
        errors |= seFrame;
    if (now[1] != errorBase_[1] && parity_.Check())
        errors |= seParity;
    if (now[2] != errorBase_[2])
        errors |= seOverrun;
    if (now[3] != errorBase_[3])
        errors |= seBreak;
    if (now[4] != errorBase_[4])
        errors |= seRxOver;
    std::copy(std::begin(now), std::end(now), std::begin(errorBase_));
    return errors;
}

void TCustomSerialPort::AbortPendingIo()
{
    if (fd_ < 0)
        RaiseSerialError(SerialError::PurgeFailed, EBADF);
    // What the device's thread has not sent yet goes out regardless; the
    // socket it reads from has no queue to drop.
    if (remote_)
        return;
    // Transfers run synchronously on the calling thread, so nothing is in
    // flight here; what a timed-out write left in the output queue is dropped.
    // With nothing unsent there is nothing to drop: on a pty the flush would
    // discard bytes already written that the peer has not read yet.
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued <= 0)
        return;
    if (ioctl(fd_, TCFLSH, TCOFLUSH) != 0) {
        const int error = errno;
        // A vanished device has nothing left to abort, and must still close.
        if (!DeviceGone(error))
            RaiseSerialError(SerialError::PurgeFailed, error);
    }
}
