#include "bootseriallink.h"

#include "bootloadererror.h"
#include "remoteportname.h"
#include "remoteserialdevice.h"
#include "serialerror.h"
#include "termiossettings.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

constexpr int kWriteStallMs = 5000;

// Sets the line up as the decoder link does: raw bytes, the given framing,
// DTR and RTS held inactive (Linux raises both when a tty is opened).
// Returns 0 or the errno of the failing call.
int ApplyLine(int fd, const SerialLineSettings &settings)
{
    struct termios2 current {};
    if (::ioctl(fd, TCGETS2, &current) != 0)
        return errno;
    const struct termios2 wanted = BuildTermios(settings, current);
    if (::ioctl(fd, TCSETS2, &wanted) != 0)
        return errno;
    const ModemLineLevels levels = ModemLinesFor(settings.controlDtr, settings.controlRts);
    const int dtr = TIOCM_DTR;
    const int rts = TIOCM_RTS;
    // Ptys have no modem lines and refuse the request; nothing to hold there.
    for (const auto &[on, line] : {std::pair{levels.dtr, &dtr}, std::pair{levels.rts, &rts}})
        if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, line) != 0 && errno != ENOTTY && errno != EINVAL)
            return errno;
    return 0;
}

// The remote device's failure in the library's words: what failed, and the
// device server's reason under it.
[[noreturn]] void RaiseRemote(const std::string &what, const ESerialPort &failure)
{
    std::string reason = failure.Informative();
    if (reason.empty() && failure.SystemErrorCode() > 0)
        reason = ErrnoText(failure.SystemErrorCode());
    throw EBootloader(what + (reason.empty() ? std::string() : ": " + reason));
}

} // namespace

BootSerialLink *BootSerialLink::Open(const std::string &path, IBootloaderHost *host)
{
    if (path.empty())
        throw EBootloader("No serial port given");
    if (IsRemotePortName(path)) {
        auto remote = std::make_unique<RemoteSerialDevice>(nullptr);
        int fd = -1;
        try {
            fd = remote->Open(path);
            remote->Configure(9600, dbEight, prNone, sbOneStopBit, false, false);
        } catch (const ESerialPort &failure) {
            RaiseRemote("Cannot open serial port " + path, failure);
        }
        return new BootSerialLink(path, fd, host, std::move(remote));
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        throw EBootloader("Cannot open serial port " + path + ": " + ErrnoText(error));
    }
    // TIOCEXCL does not stop root; flock does, for programs that also lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            throw EBootloader("Serial port " + path + " is in use by another program");
        throw EBootloader("Cannot lock serial port " + path + ": " + ErrnoText(error));
    }
    // The kernel raised DTR and RTS in open(): lower them at once.
    const int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &lines);
    struct termios2 probe {};
    if (::ioctl(fd, TCGETS2, &probe) != 0) {
        const int error = errno;
        ::close(fd);
        throw EBootloader(path + " is not a serial port: " + ErrnoText(error));
    }
    ::ioctl(fd, TIOCEXCL);
    // 9600 8N1 until SetParams: the rate the decoder itself runs at.
    if (const int error = ApplyLine(fd, SerialLineSettings{}); error != 0) {
        ::close(fd);
        throw EBootloader("Cannot set up serial port " + path + ": " + ErrnoText(error));
    }
    return new BootSerialLink(path, fd, host);
}

void BootSerialLink::Close()
{
    if (fd_ < 0)
        return;
    if (remote_) {
        ::close(fd_);
        fd_ = -1;
        remote_.reset();
        return;
    }
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_); // drops the flock as well
    fd_ = -1;
}

void BootSerialLink::RequireOpen() const
{
    if (fd_ < 0)
        throw EBootloader("The serial link to " + path_ + " is closed");
}

void BootSerialLink::SetParams(int32_t baudRate, int32_t parity, int32_t dataBits, int32_t stopBits, int32_t flowControl)
{
    RequireOpen();
    // Only the standard rates a bootloader runs at.
    if (baudRate <= 0 || BaudRateCode(baudRate) == BOTHER)
        throw EBootloader("Baud rate " + std::to_string(baudRate) + " is not supported on " + path_);
    if (dataBits < 5 || dataBits > 8)
        throw EBootloader("Data bits " + std::to_string(dataBits) + " are not supported on " + path_);
    if (parity < 0 || parity > 2)
        throw EBootloader("Parity " + std::to_string(parity) + " is not supported on " + path_);
    if (stopBits != 0 && stopBits != 2)
        throw EBootloader("Stop bits " + std::to_string(stopBits) + " are not supported on " + path_);
    SerialLineSettings settings;
    settings.baudRate = baudRate;
    settings.dataBits = static_cast<TDataBits>(dataBits - 5);
    settings.parity = parity == 0 ? prNone : parity == 1 ? prOdd : prEven;
    settings.stopBits = stopBits == 2 ? sbTwoStopBits : sbOneStopBit;
    settings.outCtsFlow = flowControl == 1;
    settings.controlRts = flowControl == 1 ? rtsHandshake : rtsDisable;
    if (remote_) {
        // Confirmed by the device server before the next byte goes out.
        try {
            remote_->Configure(baudRate, settings.dataBits, settings.parity, settings.stopBits, false, false);
        } catch (const ESerialPort &failure) {
            RaiseRemote("Cannot set " + std::to_string(baudRate) + " baud on " + path_, failure);
        }
        baudRate_ = baudRate;
        return;
    }
    if (const int error = ApplyLine(fd_, settings); error != 0)
        throw EBootloader("Cannot set " + std::to_string(baudRate) + " baud on " + path_ + ": " + ErrnoText(error));
    baudRate_ = baudRate;
}

void BootSerialLink::Purge()
{
    RequireOpen();
    if (remote_)
        remote_->Purge();
    else
        ::ioctl(fd_, TCFLSH, TCIFLUSH);
    // A pty does not always drop what is already queued; read it away.
    uint8_t sink[256];
    while (::read(fd_, sink, sizeof sink) > 0) {
    }
}

void BootSerialLink::Write(const uint8_t *data, int32_t length)
{
    RequireOpen();
    int32_t done = 0;
    auto stalledSince = std::chrono::steady_clock::now();
    while (done < length) {
        const ssize_t put = ::write(fd_, data + done, static_cast<size_t>(length - done));
        if (put > 0) {
            done += static_cast<int32_t>(put);
            sent_ += put;
            stalledSince = std::chrono::steady_clock::now();
            continue;
        }
        const int error = errno;
        if (put < 0 && error == EINTR)
            continue;
        // A hangup shows on a write as well as on a read: the same loss.
        if (put < 0 && (error == EPIPE || error == EIO || error == ENXIO || error == ENODEV))
            throw EBootloader("The serial link " + path_ + " was lost: " + ErrnoText(error));
        if (put < 0 && error != EAGAIN)
            throw EBootloader("Writing to " + path_ + " failed: " + ErrnoText(error));
        if (std::chrono::steady_clock::now() - stalledSince > std::chrono::milliseconds(kWriteStallMs))
            throw EBootloader("Writing to " + path_ + " stalled for " + std::to_string(kWriteStallMs / 1000) + " s");
        struct pollfd p {fd_, POLLOUT, 0};
        ::poll(&p, 1, 20);
        if (host_)
            host_->ProcessMessages();
    }
}

int32_t BootSerialLink::Read(uint8_t *data, int32_t capacity, int32_t timeoutMs)
{
    RequireOpen();
    if (capacity <= 0)
        return 0;
    struct pollfd p {fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (ready < 0) {
        const int error = errno;
        if (error == EINTR)
            return 0;
        throw EBootloader("Waiting for " + path_ + " failed: " + ErrnoText(error));
    }
    if (ready == 0)
        return 0;
    const ssize_t got = ::read(fd_, data, static_cast<size_t>(capacity));
    if (got > 0) {
        received_ += got;
        return static_cast<int32_t>(got);
    }
    const int error = errno;
    if (got < 0 && (error == EAGAIN || error == EINTR))
        return 0;
    // A hangup (the adapter unplugged, the far end of a pty gone) reads as EOF or EIO.
    throw EBootloader("The serial link " + path_ + " was lost: " +
                      (got == 0 ? std::string("end of file") : ErrnoText(error)));
}
