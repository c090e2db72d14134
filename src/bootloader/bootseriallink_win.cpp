// The library's serial link on the Win32 communications calls: opened
// exclusively, no flow control, DTR and RTS inactive, reads bounded by
// COMMTIMEOUTS.
#include "bootseriallink.h"

#include "bootloadererror.h"
#include "systemerror_win.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include <windows.h>

namespace {

// Handles are 32-bit values even in 64-bit processes, so one travels in the
// link's int field; INVALID_HANDLE_VALUE is -1 there too.
HANDLE AsHandle(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }

constexpr DWORD kWriteStallMs = 5000;

// Reads return at once with what is queued; writes give up after a stall.
bool SetTimeouts(HANDLE h)
{
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.WriteTotalTimeoutConstant = kWriteStallMs;
    return SetCommTimeouts(h, &t) != 0;
}

} // namespace

BootSerialLink *BootSerialLink::Open(const std::string &path, IBootloaderHost *host)
{
    if (path.empty())
        throw EBootloader("No serial port given");
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            throw EBootloader("Serial port " + path + " is in use by another program");
        throw EBootloader("Cannot open serial port " + path + ": " + SystemErrorText(error));
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        const DWORD error = GetLastError();
        CloseHandle(h);
        throw EBootloader(path + " is not a serial port: " + SystemErrorText(error));
    }
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    // DTR and RTS held inactive, as the decoder link holds them.
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(h, &dcb) || !SetTimeouts(h)) {
        const DWORD error = GetLastError();
        CloseHandle(h);
        throw EBootloader("Cannot set up serial port " + path + ": " + SystemErrorText(error));
    }
    return new BootSerialLink(path, static_cast<int>(reinterpret_cast<intptr_t>(h)), host);
}

void BootSerialLink::Close()
{
    if (fd_ == -1)
        return;
    CloseHandle(AsHandle(fd_));
    fd_ = -1;
}

void BootSerialLink::RequireOpen() const
{
    if (fd_ == -1)
        throw EBootloader("The serial link to " + path_ + " is closed");
}

void BootSerialLink::SetParams(int32_t baudRate, int32_t parity, int32_t dataBits, int32_t stopBits, int32_t flowControl)
{
    RequireOpen();
    if (baudRate <= 0)
        throw EBootloader("Baud rate " + std::to_string(baudRate) + " is not supported on " + path_);
    if (dataBits < 5 || dataBits > 8)
        throw EBootloader("Data bits " + std::to_string(dataBits) + " are not supported on " + path_);
    if (parity < 0 || parity > 2)
        throw EBootloader("Parity " + std::to_string(parity) + " is not supported on " + path_);
    if (stopBits != 0 && stopBits != 2)
        throw EBootloader("Stop bits " + std::to_string(stopBits) + " are not supported on " + path_);
    const HANDLE h = AsHandle(fd_);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        throw EBootloader("Cannot read the settings of " + path_ + ": " + SystemErrorText(GetLastError()));
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.ByteSize = static_cast<BYTE>(dataBits);
    dcb.Parity = static_cast<BYTE>(parity == 0 ? NOPARITY : parity == 1 ? ODDPARITY : EVENPARITY);
    dcb.fParity = parity != 0;
    dcb.StopBits = static_cast<BYTE>(stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT);
    dcb.fOutxCtsFlow = flowControl == 1;
    dcb.fRtsControl = flowControl == 1 ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
    if (!SetCommState(h, &dcb))
        throw EBootloader("Cannot set " + std::to_string(baudRate) + " baud on " + path_ + ": " +
                          SystemErrorText(GetLastError()));
    baudRate_ = baudRate;
}

void BootSerialLink::Purge()
{
    RequireOpen();
    PurgeComm(AsHandle(fd_), PURGE_RXCLEAR | PURGE_RXABORT);
}

void BootSerialLink::Write(const uint8_t *data, int32_t length)
{
    RequireOpen();
    int32_t done = 0;
    while (done < length) {
        DWORD put = 0;
        if (!WriteFile(AsHandle(fd_), data + done, static_cast<DWORD>(length - done), &put, nullptr))
            throw EBootloader("Writing to " + path_ + " failed: " + SystemErrorText(GetLastError()));
        if (put == 0)
            throw EBootloader("Writing to " + path_ + " stalled for " + std::to_string(kWriteStallMs / 1000) + " s");
        done += static_cast<int32_t>(put);
        sent_ += put;
        if (host_)
            host_->ProcessMessages();
    }
}

int32_t BootSerialLink::Read(uint8_t *data, int32_t capacity, int32_t timeoutMs)
{
    RequireOpen();
    if (capacity <= 0)
        return 0;
    // Looks at the input queue itself rather than trusting the driver with
    // a read time-out (wine's never ends a read that finds nothing); the
    // bootloader protocol waits in small steps anyway.
    const HANDLE h = AsHandle(fd_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(h, &errors, &status))
            throw EBootloader("The serial link " + path_ + " was lost: " + SystemErrorText(GetLastError()));
        if (status.cbInQue > 0) {
            DWORD got = 0;
            const DWORD wanted = std::min<DWORD>(static_cast<DWORD>(capacity), status.cbInQue);
            if (!ReadFile(h, data, wanted, &got, nullptr))
                throw EBootloader("The serial link " + path_ + " was lost: " + SystemErrorText(GetLastError()));
            received_ += got;
            return static_cast<int32_t>(got);
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return 0;
        Sleep(2);
    }
}
