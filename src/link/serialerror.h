#pragma once

#include "exception.h"

#include <string>

// The library codes of the port's failures, named after their texts
// (SerialErrorText). Numbers and texts are fixed: users and scripts know them.
enum class SerialError {
    OpenFailed = 1,
    WriteFailed = 2,
    ReadFailed = 3,
    InvalidAsyncParameter = 4,
    PurgeFailed = 5,
    AsyncStatusFailed = 6,
    SetStateFailed = 7,
    SetTimeoutsFailed = 8,
    SetupFailed = 9,
    ClearErrorFailed = 10,
    ModemStatusFailed = 11,
    EscapeFunctionFailed = 12,
    TransmitCharFailed = 13,
    SetWhileConnected = 14,
    EnumPortsFailed = 15,
    StoreSettingsFailed = 16,
    LoadSettingsFailed = 17,
    LinkRegistrationFailed = 18,
    LampStateWithPort = 19,
    WaitWithEventThread = 20,
    WaitForEventFailed = 21,
    RxBufferLinked = 22,
    RegistryFailed = 23,
};

// Failure of the serial port component, the port list or a lamp. The message
// is the fixed text for the library code, followed by the operating system's
// error number when there is one.
class ESerialPort : public Exception {
public:
    // `reason`: the device, the system's words and a remedy, shown under the message.
    explicit ESerialPort(int libraryCode, int systemErrorCode = -1, std::string reason = {});
    explicit ESerialPort(SerialError code, int systemErrorCode = -1, std::string reason = {})
        : ESerialPort(static_cast<int>(code), systemErrorCode, std::move(reason))
    {
    }

    int LibraryCode() const noexcept { return libraryCode_; }
    int SystemErrorCode() const noexcept { return systemErrorCode_; }

private:
    int libraryCode_;
    int systemErrorCode_;
};

// The untranslated text of a library code (1..23); empty for other codes.
const char *SerialErrorText(int libraryCode) noexcept;

// Raises ESerialPort with errno as captured by the caller at the failing call.
[[noreturn]] void RaiseSerialError(SerialError code, int systemErrorCode = -1);

// Error 1 for a device that cannot be opened; the text under it names the device and
// the system's reason, and for a lack of permission how to get it.
[[noreturn]] void RaiseOpenError(const std::string &path, int systemErrorCode);
