#pragma once

#include <cstddef>
#include <string>

// A blocking-looking TCP connection to an IPv4 host. Every failure raises
// EHttpSocketError with a Windows sockets error number; a wait that runs
// out raises 10060. A time-out of 0 or less waits without limit.
class TcpConnection {
public:
    // Loads the system's socket library now (Windows: wsock32.dll and its
    // start-up), so that a missing one stops the program's start with its
    // message instead of the first request; raises EHttpException.
    static void LoadSocketLibrary();

    TcpConnection() = default;
    ~TcpConnection();
    TcpConnection(const TcpConnection &) = delete;
    TcpConnection &operator=(const TcpConnection &) = delete;

    // "LOCALHOST" in any letter case is 127.0.0.1, a dotted IPv4 address is
    // used as it is, any other name is looked up (IPv4 only).
    void Connect(const std::string &host, int port, int timeoutMs);
    void Close();
    bool Connected() const { return fd_ >= 0; }

    void SendAll(const char *data, size_t length, int timeoutMs);
    // Up to maxLength bytes; 0 when the peer has closed its side.
    size_t Receive(char *buffer, size_t maxLength, int timeoutMs);
    // Waits at most timeoutMs for bytes or a close; false when none came.
    bool WaitReadable(int timeoutMs);
    // True when an idle connection has been closed or reset by the peer.
    bool PeerHasClosed();
    // True while the peer has neither sent anything unread nor closed.
    bool IsIdle();
    // The socket, for a caller that waits on it together with other handles.
    int NativeHandle() const { return fd_; }

private:
    int fd_ = -1;
};
