#include "serialerror.h"

#include "resourcestring.h"
#include "systemerror_win.h"

#include <string>

#include <windows.h>

void RaiseOpenError(const std::string &port, int systemErrorCode)
{
    // The two failures a user meets every day get plain words; the rest the
    // system's own text.
    std::string reason;
    switch (systemErrorCode) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        reason = TranslateResourceString("not present");
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        reason = TranslateResourceString("in use by another program");
        break;
    default:
        reason = SystemErrorText(static_cast<unsigned long>(systemErrorCode));
        break;
    }
    // The port box may be empty: then there is no name to show.
    throw ESerialPort(SerialError::OpenFailed, systemErrorCode,
                      port.empty() ? TranslateResourceString("no port chosen") : port + ": " + reason);
}
