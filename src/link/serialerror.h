#pragma once

#include "exception.h"

#include <string>

// Failure of the serial port component, the port list or a lamp. The message
// is the fixed text for the library code, followed by the operating system's
// error number when there is one.
class ESerialPort : public Exception {
public:
    // `reason`: the device, the system's words and a remedy, shown under the message.
    explicit ESerialPort(int libraryCode, int systemErrorCode = -1, std::string reason = {});

    int LibraryCode() const noexcept { return libraryCode_; }
    int SystemErrorCode() const noexcept { return systemErrorCode_; }

private:
    int libraryCode_;
    int systemErrorCode_;
};

// The untranslated text of a library code (1..23); empty for other codes.
const char *SerialErrorText(int libraryCode) noexcept;

// Raises ESerialPort with errno as captured by the caller at the failing call.
[[noreturn]] void RaiseSerialError(int libraryCode, int systemErrorCode = -1);

// Error 1 for a device that cannot be opened; the text under it names the device and
// the system's reason, and for a lack of permission how to get it.
[[noreturn]] void RaiseOpenError(const std::string &path, int systemErrorCode);
