#pragma once

#include "exception.h"

#include <cstdint>
#include <string>

// Every failure of the HTTP client descends from this class.
class EHttpException : public Exception { using Exception::Exception; };

// The reply's status is not 2xx, or the reply is a redirect. The message is
// the status text ("404 Not Found").
class EHttpProtocolError : public EHttpException {
public:
    EHttpProtocolError(int errorCode, std::string statusText)
        : EHttpException(std::move(statusText)), errorCode_(errorCode) {}
    int ErrorCode() const noexcept { return errorCode_; }

private:
    int errorCode_;
};

// A socket operation failed: "Socket Error # %d" CR LF and the table text.
// The number is a Windows sockets error number on every platform, so the
// messages read the same everywhere.
class EHttpSocketError : public EHttpException {
public:
    explicit EHttpSocketError(int lastError);
    int LastError() const noexcept { return lastError_; }

private:
    int lastError_;
};

class EHttpSilentException : public EHttpException { using EHttpException::EHttpException; };

// The server closed while data was still expected.
class EHttpConnClosedGracefully : public EHttpSilentException {
public:
    EHttpConnClosedGracefully();
};

class EHttpConnectionError : public EHttpException { using EHttpException::EHttpException; };

// The URL asks for HTTPS; there is no encryption layer.
class EHttpInterceptInvalid : public EHttpConnectionError {
public:
    EHttpInterceptInvalid();
};

// A TLS connection to the server could not be set up (handshake, protocol
// version, a server that does not speak TLS). Never followed by a plain
// HTTP attempt.
class EHttpTlsError : public EHttpConnectionError {
public:
    EHttpTlsError(const std::string &host, const std::string &detail);

protected:
    using EHttpConnectionError::EHttpConnectionError;
};

// The server's certificate was refused; the message names the reason.
class EHttpCertificateError : public EHttpTlsError {
public:
    enum class ProblemKind { Expired, WrongHost, UntrustedIssuer, Other };
    EHttpCertificateError(const std::string &host, ProblemKind problem, const std::string &detail);
    ProblemKind Problem() const noexcept { return problem_; }

private:
    ProblemKind problem_;
};

// The reply breaks a limit that protects memory (an endless header line, an
// absurd chunk size). The connection is dropped, since its state is unknown.
class EHttpInvalidReply : public EHttpException { using EHttpException::EHttpException; };

// A reply body beyond the ceiling the request allows, announced or arriving.
// The connection is dropped, since the rest of the body is still on it.
class EHttpBodyTooLarge : public EHttpException {
public:
    explicit EHttpBodyTooLarge(int64_t limit);
    int64_t Limit() const noexcept { return limit_; }

private:
    int64_t limit_;
};
