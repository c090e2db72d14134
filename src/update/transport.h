#pragma once

#include "tcpconnection.h"
#include "tlssession.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// The client's connection: plain TCP, or TLS over it for https. Offers
// the calls of TcpConnection; over TLS they move decrypted bytes, and a
// time-out bounds the whole call, however the records trickle in.
class Transport {
public:
    // secure: TLS, its handshake done within timeoutMs, showing `identity`
    // when the server asks for a client certificate.
    void Connect(const std::string &host, int port, int timeoutMs, bool secure, const TlsClientIdentity &identity = {});
    void Close();
    bool Connected() const { return tcp_.Connected(); }
    bool Secure() const { return tls_ != nullptr; }

    void SendAll(const char *data, size_t length, int timeoutMs);
    // Up to maxLength bytes; 0 when the peer has closed (over TLS: sent its
    // close_notify; a TCP close without it raises EHttpTlsError).
    size_t Receive(char *buffer, size_t maxLength, int timeoutMs);
    // Waits at most timeoutMs for bytes or a close; false when none came.
    bool WaitReadable(int timeoutMs);
    // True while the peer has neither sent anything unread nor closed.
    bool IsIdle();
    // Decrypted bytes already held, which a wait on the socket would not see.
    bool HasPending();
    int NativeHandle() const { return tcp_.NativeHandle(); }
    // The server asked for a client certificate that was not set.
    bool ClientCertificateAsked() const { return tls_ && tls_->ClientCertificateAsked(); }

private:
    using Clock = std::chrono::steady_clock;

    void Flush(int timeoutMs);
    // Feeds what the socket has within the wait; false when it closed.
    bool PullRecords(int timeoutMs);
    // Decrypts what is complete into plain_; false when nothing new.
    bool TakePlain();

    TcpConnection tcp_;
    std::unique_ptr<TlsSession> tls_;
    std::vector<char> records_;
    std::string plain_;   // decrypted, not yet handed out
    std::string host_;
    bool tcpClosed_ = false;
};
