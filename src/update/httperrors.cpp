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
