#include "tcpconnection.h"

#include "httpheaderinfo.h"
#include "httperrors.h"
#include "socketerrors.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void ThrowErrno(int savedErrno)
{
    throw EHttpSocketError(SocketErrorFromErrno(savedErrno));
}

in_addr ResolveIPv4(const std::string &host)
{
    in_addr address {};
    if (SameTextIgnoringCase(host, "LOCALHOST")) {
        address.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }
    if (::inet_pton(AF_INET, host.c_str(), &address) == 1)
        return address;

    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    errno = 0;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    const int savedErrno = errno;
    if (rc != 0)
        throw EHttpSocketError(SocketErrorFromLookup(rc, savedErrno));
    address = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return address;
}

// Waits for the events on fd until the deadline; false on time-out.
bool WaitFor(int fd, short events, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd pfd {fd, events, 0};
        const int rc = ::poll(&pfd, 1, wait);
        if (rc > 0)
            return true;
        if (rc == 0)
            return false;
        const int savedErrno = errno;
        if (savedErrno != EINTR)
            ThrowErrno(savedErrno);
    }
}

} // namespace

TcpConnection::~TcpConnection()
{
    Close();
}

void TcpConnection::Close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void TcpConnection::Connect(const std::string &host, int port, int timeoutMs)
{
    Close();
    if (port < 1 || port > 65535)
        throw EHttpSocketError(kWsaEADDRNOTAVAIL);
    const in_addr address = ResolveIPv4(host);

    // Non-blocking throughout: connect and every receive wait under poll(),
    // so a silent server can only cost the time-out.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        ThrowErrno(errno);
    fd_ = fd;
    try {
        sockaddr_in peer {};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(static_cast<uint16_t>(port));
        peer.sin_addr = address;
        if (::connect(fd_, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0) {
            const int savedErrno = errno;
            if (savedErrno != EINPROGRESS && savedErrno != EINTR)
                ThrowErrno(savedErrno);
            if (!WaitFor(fd_, POLLOUT, timeoutMs))
                throw EHttpSocketError(kWsaETIMEDOUT);
            int soError = 0;
            socklen_t size = sizeof soError;
            if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &size) != 0)
                ThrowErrno(errno);
            if (soError != 0)
                ThrowErrno(soError);
        }
    } catch (...) {
        Close();
        throw;
    }
}

void TcpConnection::SendAll(const char *data, size_t length, int timeoutMs)
{
    while (length > 0) {
        // MSG_NOSIGNAL: a peer that went away must give EPIPE, never SIGPIPE.
        const ssize_t sent = ::send(fd_, data, length, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            length -= static_cast<size_t>(sent);
            continue;
        }
        const int savedErrno = errno;
        if (sent < 0 && savedErrno == EINTR)
            continue;
        if (sent < 0 && (savedErrno == EAGAIN || savedErrno == EWOULDBLOCK)) {
            if (!WaitFor(fd_, POLLOUT, timeoutMs))
                throw EHttpSocketError(kWsaETIMEDOUT);
            continue;
        }
        ThrowErrno(sent < 0 ? savedErrno : EPIPE);
    }
}

size_t TcpConnection::Receive(char *buffer, size_t maxLength, int timeoutMs)
{
    if (fd_ < 0)
        throw EHttpSocketError(SocketErrorFromErrno(ENOTCONN));
    for (;;) {
        // Try first: during a fast transfer the data is usually there, and
        // the poll() would only cost a system call.
        const ssize_t got = ::recv(fd_, buffer, maxLength, 0);
        if (got >= 0)
            return static_cast<size_t>(got);
        const int savedErrno = errno;
        if (savedErrno == EINTR)
            continue;
        if (savedErrno != EAGAIN && savedErrno != EWOULDBLOCK)
            ThrowErrno(savedErrno);
        if (!WaitFor(fd_, POLLIN, timeoutMs))
            throw EHttpSocketError(kWsaETIMEDOUT);
    }
}

bool TcpConnection::WaitReadable(int timeoutMs)
{
    if (fd_ < 0)
        return false;
    pollfd pfd {fd_, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&pfd, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

bool TcpConnection::PeerHasClosed()
{
    if (fd_ < 0)
        return true;
    char probe;
    const ssize_t got = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got == 0)
        return true;
    if (got < 0)
        return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    return false;
}

bool TcpConnection::IsIdle()
{
    if (fd_ < 0)
        return false;
    char probe;
    const ssize_t got = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// The sockets are part of the C library here.
void TcpConnection::LoadSocketLibrary() {}
