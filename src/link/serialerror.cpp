#include "serialerror.h"

#include "resourcestring.h"

#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>


namespace {

const char *const kTexts[] = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if SerialPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

// Texts are translated when raised, so a catalogue loaded after start-up
// still applies.
std::string ComposeMessage(int libraryCode, int systemErrorCode)
{
    std::string message = TranslateResourceString(SerialErrorText(libraryCode));
    if (systemErrorCode != -1) {
        // The pattern may come from a catalogue file, so it is never used as
        // a printf format: only its first "%d" is replaced.
        std::string suffix = TranslateResourceString(" (win error code: %d)");
        const size_t at = suffix.find("%d");
        if (at != std::string::npos)
            suffix.replace(at, 2, std::to_string(systemErrorCode));
        message += suffix;
    }
    return message;
}

} // namespace

const char *SerialErrorText(int libraryCode) noexcept
{
    if (libraryCode < 1 || libraryCode > static_cast<int>(std::size(kTexts)))
        return "";
    return kTexts[libraryCode - 1];
}

ESerialPort::ESerialPort(int libraryCode, int systemErrorCode, std::string reason)
    : Exception(ComposeMessage(libraryCode, systemErrorCode)), libraryCode_(libraryCode),
      systemErrorCode_(systemErrorCode)
{
    SetInformative(std::move(reason));
}

void RaiseSerialError(SerialError code, int systemErrorCode) { throw ESerialPort(code, systemErrorCode); }
