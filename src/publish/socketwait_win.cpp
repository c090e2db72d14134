// Windows sockets: the wake-up is a datagram a loopback socket sends to
// itself, so one WSAPoll waits on it and the broker's socket together.
#include "socketwait.h"

#include <stdexcept>

#include <winsock2.h>
#include <ws2tcpip.h>

namespace publish {

namespace {

SOCKET Socket(int fd) { return static_cast<SOCKET>(fd); }

} // namespace

WakeSignal::WakeSignal()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        throw std::runtime_error("cannot start Windows sockets");
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long nonBlocking = 1;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
        connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ioctlsocket(s, FIONBIO, &nonBlocking) != 0)
        throw std::runtime_error("cannot make a wake-up socket for the broker link");
    fds_[0] = fds_[1] = static_cast<int>(s);
}

WakeSignal::~WakeSignal()
{
    closesocket(Socket(fds_[0]));
    WSACleanup();
}

void WakeSignal::Raise()
{
    const char byte = 1;
    // A full queue already wakes the reader.
    send(Socket(fds_[1]), &byte, 1, 0);
}

bool WakeSignal::Clear()
{
    char drain[64];
    bool any = false;
    while (recv(Socket(fds_[0]), drain, sizeof drain, 0) > 0)
        any = true;
    return any;
}

SocketReady WaitForSocket(const WakeSignal &wake, int socket, bool wantWrite, int timeoutMs)
{
    WSAPOLLFD fds[2] = {{Socket(wake.Fd()), POLLIN, 0},
                        {Socket(socket), static_cast<SHORT>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}};
    const int n = WSAPoll(fds, socket >= 0 ? 2 : 1, timeoutMs);
    if (n <= 0 || socket < 0)
        return {};
    return ReadyFrom<SHORT>(fds[1].revents, POLLIN, POLLOUT, POLLERR | POLLHUP);
}

} // namespace publish
