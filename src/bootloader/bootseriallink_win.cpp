// The library's serial link on the Win32 communications calls: opened
// exclusively, no flow control, DTR and RTS inactive, reads bounded by
// COMMTIMEOUTS. A port on a device server is the remote device's pipe,
// moved with overlapped transfers.
#include "bootseriallink.h"

#include "bootloadererror.h"
#include "remoteportname.h"
#include "serialerror.h"
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

// One overlapped transfer on a remote device's pipe, waited for at most
// timeoutMs; returns the bytes moved and sets `error` when it failed
// (ERROR_OPERATION_ABORTED when it ran out of time).
DWORD PipeTransfer(HANDLE pipe, bool write, uint8_t *data, DWORD size, DWORD timeoutMs, DWORD &error)
{
    OVERLAPPED block{};
    block.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    error = block.hEvent == nullptr ? GetLastError() : 0;
    if (error != 0)
        return 0;
    const BOOL started = write ? WriteFile(pipe, data, size, nullptr, &block) : ReadFile(pipe, data, size, nullptr, &block);
    DWORD moved = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        error = GetLastError();
    } else {
        if (WaitForSingleObject(block.hEvent, timeoutMs) != WAIT_OBJECT_0)
            CancelIoEx(pipe, &block);
        if (!GetOverlappedResult(pipe, &block, &moved, TRUE))
            error = GetLastError();
    }
    CloseHandle(block.hEvent);
    return moved;
}

// The remote device's failure in the library's words: what failed, and the
// device server's reason under it.
[[noreturn]] void RaiseRemote(const std::string &what, const ESerialPort &failure)
{
    std::string reason = failure.Informative();
    if (reason.empty() && failure.SystemErrorCode() > 0)
        reason = SystemErrorText(static_cast<DWORD>(failure.SystemErrorCode()));
    throw EBootloader(what + (reason.empty() ? std::string() : ": " + reason));
}

} // namespace

BootSerialLink *BootSerialLink::Open(const std::string &path, IBootloaderHost *host)
{
    if (path.empty())
        throw EBootloader("No serial port given");
    if (IsRemotePortName(path)) {
        auto remote = std::make_unique<RemoteSerialDevice>(nullptr);
        int fd = -1;
        try {
            fd = remote->Open(path);
            remote->Configure(9600, dbEight, prNone, sbOneStopBit, false, false);
        } catch (const ESerialPort &failure) {
            if (fd != -1)
                CloseHandle(AsHandle(fd));
            RaiseRemote("Cannot open serial port " + path, failure);
        }
        return new BootSerialLink(path, fd, host, std::move(remote));
    }
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
    remote_.reset();
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
    if (remote_) {
        // Confirmed by the device server before the next byte goes out.
        try {
            remote_->Configure(baudRate, static_cast<TDataBits>(dataBits - 5),
                               parity == 0 ? prNone : parity == 1 ? prOdd : prEven,
                               stopBits == 2 ? sbTwoStopBits : sbOneStopBit, false, false);
        } catch (const ESerialPort &failure) {
            RaiseRemote("Cannot set " + std::to_string(baudRate) + " baud on " + path_, failure);
        }
        baudRate_ = baudRate;
        return;
    }
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
    if (!remote_) {
        PurgeComm(AsHandle(fd_), PURGE_RXCLEAR | PURGE_RXABORT);
        return;
    }
    remote_->Purge();
    // What already reached the pipe is read away.
    uint8_t sink[256];
    DWORD queued = 0;
    DWORD error = 0;
    while (PeekNamedPipe(AsHandle(fd_), nullptr, 0, nullptr, &queued, nullptr) && queued > 0 &&
           PipeTransfer(AsHandle(fd_), false, sink, sizeof sink, INFINITE, error) > 0) {
    }
}

void BootSerialLink::Write(const uint8_t *data, int32_t length)
{
    RequireOpen();
    int32_t done = 0;
    while (done < length) {
        DWORD put = 0;
        if (remote_) {
            DWORD error = 0;
            put = PipeTransfer(AsHandle(fd_), true, const_cast<uint8_t *>(data + done),
                               static_cast<DWORD>(length - done), kWriteStallMs, error);
            // The bridge closed its end: the link to the server is gone.
            if (error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED)
                throw EBootloader("The serial link " + path_ + " was lost: " + SystemErrorText(error));
            if (error != 0 && error != ERROR_OPERATION_ABORTED)
                throw EBootloader("Writing to " + path_ + " failed: " + SystemErrorText(error));
        } else if (!WriteFile(AsHandle(fd_), data + done, static_cast<DWORD>(length - done), &put, nullptr)) {
            throw EBootloader("Writing to " + path_ + " failed: " + SystemErrorText(GetLastError()));
        }
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
        const BOOL counted = remote_ ? PeekNamedPipe(h, nullptr, 0, nullptr, &status.cbInQue, nullptr)
                                     : ClearCommError(h, &errors, &status);
        if (!counted)
            throw EBootloader("The serial link " + path_ + " was lost: " + SystemErrorText(GetLastError()));
        if (status.cbInQue > 0) {
            DWORD got = 0;
            const DWORD wanted = std::min<DWORD>(static_cast<DWORD>(capacity), status.cbInQue);
            DWORD error = 0;
            if (remote_)
                got = PipeTransfer(h, false, data, wanted, INFINITE, error);
            else if (!ReadFile(h, data, wanted, &got, nullptr))
                error = GetLastError();
            if (error != 0)
                throw EBootloader("The serial link " + path_ + " was lost: " + SystemErrorText(error));
            received_ += got;
            return static_cast<int32_t>(got);
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return 0;
        Sleep(2);
    }
}
