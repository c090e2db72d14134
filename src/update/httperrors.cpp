#include "httperrors.h"

#include "convert.h"
#include "resourcestring.h"
#include "socketerrors.h"

#include <string>

EHttpSocketError::EHttpSocketError(int lastError)
    : EHttpException(std::string()), lastError_(lastError)
{
    std::string message = FormatMessageArg(TranslateResourceString("Socket Error # %d"),
                                           std::to_string(lastError));
    message += "\r\n";
    const std::string_view text = SocketErrorText(lastError);
    if (!text.empty())
        message += TranslateResourceString(text);
    SetMessage(std::move(message));
}

EHttpConnClosedGracefully::EHttpConnClosedGracefully()
    : EHttpSilentException(TranslateResourceString("Connection Closed Gracefully."))
{
}

EHttpInterceptInvalid::EHttpInterceptInvalid()
    : EHttpConnectionError(TranslateResourceString("Intercept value is not valid"))
{
}

EHttpBodyTooLarge::EHttpBodyTooLarge(int64_t limit)
    : EHttpException(FormatMessageArg(TranslateResourceString("Reply body larger than %d bytes"),
                                      std::to_string(limit))),
      limit_(limit)
{
}

EHttpTlsError::EHttpTlsError(const std::string &host, const std::string &detail)
    : EHttpConnectionError(FormatMessageArgs(TranslateResourceString("TLS connection to %s failed: %s"), {host, detail}))
{
}

namespace {

std::string CertificateMessage(const std::string &host, EHttpCertificateError::ProblemKind problem,
                               const std::string &detail)
{
    using ProblemKind = EHttpCertificateError::ProblemKind;
    switch (problem) {
    case ProblemKind::Expired:
        return FormatMessageArgs(TranslateResourceString("The certificate of %s has expired or is not valid yet"),
                                 {host});
    case ProblemKind::WrongHost:
        return FormatMessageArgs(TranslateResourceString("The server's certificate is not for %s"), {host});
    case ProblemKind::UntrustedIssuer:
        return FormatMessageArgs(
            TranslateResourceString("The certificate of %s is not from a trusted certification authority"), {host});
    case ProblemKind::Other:
        break;
    }
    return FormatMessageArgs(TranslateResourceString("The certificate of %s was refused: %s"), {host, detail});
}

} // namespace

EHttpCertificateError::EHttpCertificateError(const std::string &host, ProblemKind problem, const std::string &detail)
    : EHttpTlsError(CertificateMessage(host, problem, detail)), problem_(problem)
{
}
