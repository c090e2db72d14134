// Windows sockets 1.1, loaded at run time from wsock32.dll. Error numbers
// are the ones WSAGetLastError() reports.
#include "tcpconnection.h"

#include "httperrors.h"
#include "httpheaderinfo.h"
#include "resourcestring.h"
#include "socketerrors.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include <winsock2.h>
#include <windows.h>

namespace {

using Clock = std::chrono::steady_clock;

// The calls of the socket layer, looked up once in the library.
struct Winsock {
    decltype(&::WSAStartup) startup = nullptr;
    decltype(&::WSAGetLastError) lastError = nullptr;
    decltype(&::socket) socket = nullptr;
    decltype(&::connect) connect = nullptr;
    decltype(&::send) send = nullptr;
    decltype(&::recv) recv = nullptr;
    decltype(&::select) select = nullptr;
    decltype(&::closesocket) closesocket = nullptr;
    decltype(&::ioctlsocket) ioctlsocket = nullptr;
    decltype(&::getsockopt) getsockopt = nullptr;
    decltype(&::gethostbyname) gethostbyname = nullptr;
    decltype(&::inet_addr) inet_addr = nullptr;
    decltype(&::htons) htons = nullptr;
};

constexpr const char *kLibrary = "wsock32.dll";

template <class F>
bool Bind(HMODULE module, F &fn, const char *name)
{
    fn = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    return fn != nullptr;
}

// Loaded and started at the first use, kept for the process's lifetime.
const Winsock &Sockets()
{
    static const Winsock sockets = [] {
        Winsock w;
        const HMODULE module = LoadLibraryA(kLibrary);
        bool ok = module != nullptr;
        ok = ok && Bind(module, w.startup, "WSAStartup") && Bind(module, w.lastError, "WSAGetLastError") &&
             Bind(module, w.socket, "socket") && Bind(module, w.connect, "connect") && Bind(module, w.send, "send") &&
             Bind(module, w.recv, "recv") && Bind(module, w.select, "select") &&
             Bind(module, w.closesocket, "closesocket") && Bind(module, w.ioctlsocket, "ioctlsocket") &&
             Bind(module, w.getsockopt, "getsockopt") && Bind(module, w.gethostbyname, "gethostbyname") &&
             Bind(module, w.inet_addr, "inet_addr") && Bind(module, w.htons, "htons");
        if (!ok) {
            std::string text = TranslateResourceString("%s could not be loaded.");
            const auto at = text.find("%s");
            if (at != std::string::npos)
                text.replace(at, 2, kLibrary);
            throw EHttpException(text);
        }
        WSADATA data{};
        if (w.startup(MAKEWORD(1, 1), &data) != 0)
            throw EHttpException(TranslateResourceString("Winsock Initialization Error."));
        return w;
    }();
    return sockets;
}

} // namespace

void TcpConnection::LoadSocketLibrary() { Sockets(); }

namespace {

[[noreturn]] void ThrowLast()
{
    throw EHttpSocketError(Sockets().lastError());
}

SOCKET AsSocket(int fd) { return static_cast<SOCKET>(static_cast<intptr_t>(fd)); }

in_addr ResolveIPv4(const std::string &host)
{
    const Winsock &w = Sockets();
    in_addr address{};
    if (SameTextIgnoringCase(host, "LOCALHOST")) {
        address.s_addr = w.inet_addr("127.0.0.1");
        return address;
    }
    const unsigned long dotted = w.inet_addr(host.c_str());
    if (dotted != INADDR_NONE || host == "255.255.255.255") {
        address.s_addr = dotted;
        return address;
    }
    const hostent *found = w.gethostbyname(host.c_str());
    if (found == nullptr || found->h_addrtype != AF_INET || found->h_addr_list[0] == nullptr)
        ThrowLast();
    std::memcpy(&address, found->h_addr_list[0], sizeof address);
    return address;
}

// Waits until the socket is readable (or writable); false on time-out.
bool WaitFor(SOCKET s, bool write, int timeoutMs)
{
    const Winsock &w = Sockets();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);
        timeval limit{};
        timeval *wait = nullptr;
        if (timeoutMs > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left < 0)
                left = 0;
            limit.tv_sec = static_cast<long>(left / 1000);
            limit.tv_usec = static_cast<long>(left % 1000 * 1000);
            wait = &limit;
        }
        // A failed non-blocking connect shows up in the exception set.
        const int rc = w.select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, wait);
        if (rc > 0)
            return true;
        if (rc == 0)
            return false;
        const int error = w.lastError();
        if (error != WSAEINTR)
            throw EHttpSocketError(error);
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
        Sockets().closesocket(AsSocket(fd_));
        fd_ = -1;
    }
}

void TcpConnection::Connect(const std::string &host, int port, int timeoutMs)
{
    Close();
    const Winsock &w = Sockets();
    if (port < 1 || port > 65535)
        throw EHttpSocketError(kWsaEADDRNOTAVAIL);
    const in_addr address = ResolveIPv4(host);

    const SOCKET s = w.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        ThrowLast();
    // Socket handles are small kernel handle values; they fit the shared int.
    fd_ = static_cast<int>(s);
    try {
        // Non-blocking throughout, so a silent server can only cost the time-out.
        u_long on = 1;
        if (w.ioctlsocket(s, FIONBIO, &on) != 0)
            ThrowLast();
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = w.htons(static_cast<u_short>(port));
        peer.sin_addr = address;
        if (w.connect(s, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0) {
            const int error = w.lastError();
            if (error != WSAEWOULDBLOCK)
                throw EHttpSocketError(error);
            if (!WaitFor(s, true, timeoutMs))
                throw EHttpSocketError(kWsaETIMEDOUT);
            int soError = 0;
            int size = sizeof soError;
            if (w.getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&soError), &size) != 0)
                ThrowLast();
            if (soError != 0)
                throw EHttpSocketError(soError);
        }
    } catch (...) {
        Close();
        throw;
    }
}

void TcpConnection::SendAll(const char *data, size_t length, int timeoutMs)
{
    const Winsock &w = Sockets();
    while (length > 0) {
        const int chunk = static_cast<int>(std::min<size_t>(length, 1 << 20));
        const int sent = w.send(AsSocket(fd_), data, chunk, 0);
        if (sent > 0) {
            data += sent;
            length -= static_cast<size_t>(sent);
            continue;
        }
        const int error = w.lastError();
        if (sent == SOCKET_ERROR && error == WSAEWOULDBLOCK) {
            if (!WaitFor(AsSocket(fd_), true, timeoutMs))
                throw EHttpSocketError(kWsaETIMEDOUT);
            continue;
        }
        throw EHttpSocketError(sent == SOCKET_ERROR ? error : kWsaESHUTDOWN);
    }
}

size_t TcpConnection::Receive(char *buffer, size_t maxLength, int timeoutMs)
{
    if (fd_ < 0)
        throw EHttpSocketError(WSAENOTCONN);
    const Winsock &w = Sockets();
    for (;;) {
        const int got = w.recv(AsSocket(fd_), buffer, static_cast<int>(std::min<size_t>(maxLength, 1 << 30)), 0);
        if (got >= 0)
            return static_cast<size_t>(got);
        const int error = w.lastError();
        if (error != WSAEWOULDBLOCK)
            throw EHttpSocketError(error);
        if (!WaitFor(AsSocket(fd_), false, timeoutMs))
            throw EHttpSocketError(kWsaETIMEDOUT);
    }
}

bool TcpConnection::WaitReadable(int timeoutMs)
{
    if (fd_ < 0)
        return false;
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(AsSocket(fd_), &ready);
    timeval limit{timeoutMs / 1000, timeoutMs % 1000 * 1000};
    return Sockets().select(0, &ready, nullptr, nullptr, timeoutMs < 0 ? nullptr : &limit) > 0;
}

bool TcpConnection::PeerHasClosed()
{
    if (fd_ < 0)
        return true;
    const Winsock &w = Sockets();
    char probe;
    const int got = w.recv(AsSocket(fd_), &probe, 1, MSG_PEEK);
    if (got == 0)
        return true;
    if (got < 0)
        return w.lastError() != WSAEWOULDBLOCK;
    return false;
}

bool TcpConnection::IsIdle()
{
    if (fd_ < 0)
        return false;
    const Winsock &w = Sockets();
    // The socket is non-blocking: nothing to peek at means nothing unread.
    char probe;
    return w.recv(AsSocket(fd_), &probe, 1, MSG_PEEK) < 0 && w.lastError() == WSAEWOULDBLOCK;
}
