#include "seriallink.h"

#include "bootloadererror.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

// Only the standard rates a bootloader runs at; 0 refuses the rest. (The
// port component's table needs termios2, which cannot share a file with
// <termios.h>.)
speed_t SpeedFor(int32_t baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return 0;
    }
}

constexpr int kWriteStallMs = 5000;

} // namespace

SerialLink *SerialLink::Open(const std::string &path, IBootloaderHost *host)
{
    if (path.empty())
        throw EBootloader("No serial port given");
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
    struct termios tio {};
    if (::tcgetattr(fd, &tio) != 0) {
        const int error = errno;
        ::close(fd);
        throw EBootloader(path + " is not a serial port: " + ErrnoText(error));
    }
    ::ioctl(fd, TIOCEXCL);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        const int error = errno;
        ::close(fd);
        throw EBootloader("Cannot set up serial port " + path + ": " + ErrnoText(error));
    }
    return new SerialLink(path, fd, host);
}

void SerialLink::Close()
{
    if (fd_ < 0)
        return;
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_); // drops the flock as well
    fd_ = -1;
}

void SerialLink::RequireOpen() const
{
    if (fd_ < 0)
        throw EBootloader("The serial link to " + path_ + " is closed");
}

void SerialLink::SetParams(int32_t baudRate, int32_t parity, int32_t dataBits, int32_t stopBits, int32_t flowControl)
{
    RequireOpen();
    const speed_t speed = SpeedFor(baudRate);
    if (speed == 0)
        throw EBootloader("Baud rate " + std::to_string(baudRate) + " is not supported on " + path_);
    if (dataBits < 5 || dataBits > 8)
        throw EBootloader("Data bits " + std::to_string(dataBits) + " are not supported on " + path_);
    if (parity < 0 || parity > 2)
        throw EBootloader("Parity " + std::to_string(parity) + " is not supported on " + path_);
    if (stopBits != 0 && stopBits != 2)
        throw EBootloader("Stop bits " + std::to_string(stopBits) + " are not supported on " + path_);
    struct termios tio {};
    if (::tcgetattr(fd_, &tio) != 0) {
        const int error = errno;
        throw EBootloader("Cannot read the settings of " + path_ + ": " + ErrnoText(error));
    }
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= sizes[dataBits - 5];
    if (parity != 0)
        tio.c_cflag |= PARENB | (parity == 1 ? PARODD : 0);
    if (stopBits == 2)
        tio.c_cflag |= CSTOPB;
    if (flowControl == 1)
        tio.c_cflag |= CRTSCTS;
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
        const int error = errno;
        throw EBootloader("Cannot set " + std::to_string(baudRate) + " baud on " + path_ + ": " + ErrnoText(error));
    }
    baudRate_ = baudRate;
}

void SerialLink::Purge()
{
    RequireOpen();
    ::tcflush(fd_, TCIFLUSH);
    // A pty does not always drop what is already queued; read it away.
    uint8_t sink[256];
    while (::read(fd_, sink, sizeof sink) > 0) {
    }
}

void SerialLink::Write(const uint8_t *data, int32_t length)
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

int32_t SerialLink::Read(uint8_t *data, int32_t capacity, int32_t timeoutMs)
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
