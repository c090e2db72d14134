#pragma once

#include <cstddef>
#include <memory>
#include <string>

// One TLS client session that moves no bytes itself: the caller feeds what
// the socket received and sends what the session has to send, so one
// connection class serves every system's TLS library (one file per system).
// TLS 1.2 or newer; the server's chain and host name are checked against the
// system's trust store. Failures raise EHttpTlsError or
// EHttpCertificateError.
// A certificate the client shows when the server asks for one: PEM files,
// the key in the certificate's file when keyFile is empty. None when
// certificateFile is empty.
struct TlsClientIdentity {
    std::string certificateFile;
    std::string keyFile;
};

class TlsSession {
public:
    // host: the name (or IPv4 address) the certificate must be for. A client
    // identity that cannot be loaded raises EHttpTlsError naming the file.
    static std::unique_ptr<TlsSession> Start(const std::string &host, const TlsClientIdentity &identity = {});
    virtual ~TlsSession() = default;

    // Bytes received from the server.
    virtual void PutIncoming(const char *data, size_t length) = 0;
    // What has to go to the server now (handshake, records, alerts).
    virtual std::string TakeOutgoing() = 0;
    // Moves the handshake on with what came in; true once it is complete.
    virtual bool Handshake() = 0;
    // Encrypts the bytes for sending (TakeOutgoing hands them out).
    virtual void Write(const char *data, size_t length) = 0;
    // Up to maxLength decrypted bytes; 0 when none are complete yet or the
    // server has ended the session (Closed()).
    virtual size_t Read(char *buffer, size_t maxLength) = 0;
    virtual bool Closed() const = 0;
    // The server asked for a client certificate and none was set.
    virtual bool ClientCertificateAsked() const { return false; }
};
