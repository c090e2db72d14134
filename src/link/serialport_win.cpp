// Windows backend of the serial port: the COM device opened for overlapped
// I/O, set up with SetupComm, SetCommState and SetCommTimeouts; each transfer
// is one overlapped operation with its own completion event. A port on a
// device server is a pipe to its RemoteSerialDevice: the same transfers,
// with its settings, queue count and lines from the device instead of the
// communications calls.
#include "serialport.h"

#include "oshandle_win.h"
#include "remoteportname.h"
#include "remoteserialdevice.h"
#include "serialthread.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

const char *const DefaultPortName = "COM1";

namespace {

// Devices without modem lines (some virtual COM drivers) refuse the status
// request instead of reporting the lines as off.
bool NoModemLines(DWORD error) { return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION; }

// One overlapped transfer: its block, its completion event (manual reset,
// created signalled) and, for a write, the private copy of the bytes.
class PendingIo {
public:
    explicit PendingIo(SerialError failureCode) : failureCode_(failureCode)
    {
        overlapped_.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        if (overlapped_.hEvent == nullptr)
            RaiseSerialError(failureCode_, static_cast<int>(GetLastError()));
    }
    ~PendingIo() { CloseHandle(overlapped_.hEvent); }
    PendingIo(const PendingIo &) = delete;
    PendingIo &operator=(const PendingIo &) = delete;

    OVERLAPPED *Block() { return &overlapped_; }
    std::string copy;

    // A start that neither finished nor is pending is a failure.
    void Started(BOOL ok) const
    {
        if (!ok) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING)
                RaiseSerialError(failureCode_, static_cast<int>(error));
        }
    }

    DWORD Wait(HANDLE device)
    {
        if (WaitForSingleObject(overlapped_.hEvent, INFINITE) != WAIT_OBJECT_0)
            RaiseSerialError(failureCode_, static_cast<int>(GetLastError()));
        DWORD transferred = 0;
        if (!GetOverlappedResult(device, &overlapped_, &transferred, FALSE))
            RaiseSerialError(failureCode_, static_cast<int>(GetLastError()));
        return transferred;
    }

    // A pipe has no driver time-outs: waits at most timeoutMs (INFINITE for
    // none), then cancels. A cancelled or broken transfer moved what it moved.
    DWORD WaitAtMost(HANDLE pipe, DWORD timeoutMs)
    {
        if (WaitForSingleObject(overlapped_.hEvent, timeoutMs) != WAIT_OBJECT_0)
            CancelIoEx(pipe, &overlapped_);
        DWORD transferred = 0;
        if (!GetOverlappedResult(pipe, &overlapped_, &transferred, TRUE)) {
            const DWORD error = GetLastError();
            if (error != ERROR_OPERATION_ABORTED && error != ERROR_BROKEN_PIPE)
                RaiseSerialError(failureCode_, static_cast<int>(error));
        }
        return transferred;
    }

private:
    SerialError failureCode_;
    OVERLAPPED overlapped_{};
};

} // namespace

void TCustomSerialPort::OpenDevice()
{
    if (IsRemotePortName(port_)) {
        OpenRemoteDevice();
        return;
    }
    const std::string path = "\\\\.\\" + port_;
    const HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        RaiseOpenError(port_, static_cast<int>(GetLastError()));
    fd_ = HandleValue(device);
}

void TCustomSerialPort::CloseDevice()
{
    if (fd_ == -1)
        return;
    CloseHandle(AsHandle(fd_));
    fd_ = -1;
    remote_.reset();
}

void TCustomSerialPort::PurgeQueues() noexcept
{
    // The event thread empties both driver queues as it ends; a device
    // server is asked to drop what it holds.
    if (remote_)
        remote_->Purge();
}

// --- settings

void TCustomSerialPort::ApplyLineSettings()
{
    if (!CanApply())
        return;
    if (remote_) {
        // The levels as on Linux: a device server has no DTR handshake, and
        // with RTS handshake its driver moves the raised line itself.
        const TDTRFlowControl dtr = flowControl_.ControlDTR();
        const TRTSFlowControl rts = flowControl_.ControlRTS();
        remote_->Configure(baudRate_ == brCustom ? customBaudRate_ : BaudRateValue(baudRate_), dataBits_,
                           parity_.Bits(), stopBits_, dtr == dtrEnable || dtr == dtrHandshake,
                           rts == rtsEnable || rts == rtsHandshake);
        return;
    }
    static const BYTE kParity[] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};
    static const BYTE kStopBits[] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(baudRate_ == brCustom ? customBaudRate_ : BaudRateValue(baudRate_));
    dcb.fBinary = 1;
    dcb.fParity = parity_.Check();
    dcb.fOutxCtsFlow = flowControl_.OutCTSFlow();
    dcb.fOutxDsrFlow = flowControl_.OutDSRFlow();
    dcb.fDtrControl = static_cast<DWORD>(flowControl_.ControlDTR());
    dcb.fDsrSensitivity = flowControl_.DSRSensitivity();
    dcb.fTXContinueOnXoff = flowControl_.TxContinueOnXoff();
    dcb.fOutX = flowControl_.XonXoffOut();
    dcb.fInX = flowControl_.XonXoffIn();
    dcb.fErrorChar = parity_.Check() && parity_.Replace();
    dcb.fNull = discardNull_;
    dcb.fRtsControl = static_cast<DWORD>(flowControl_.ControlRTS());
    dcb.fAbortOnError = 0;
    dcb.XonLim = static_cast<WORD>(buffer_.InputSize() / 4);
    dcb.XoffLim = static_cast<WORD>(buffer_.InputSize() / 4);
    dcb.ByteSize = static_cast<BYTE>(DataBitsValue(dataBits_));
    dcb.Parity = kParity[parity_.Bits()];
    dcb.StopBits = kStopBits[stopBits_];
    dcb.XonChar = flowControl_.XonChar();
    dcb.XoffChar = flowControl_.XoffChar();
    dcb.ErrorChar = dcb.fErrorChar ? parity_.ReplaceChar() : 0;
    dcb.EofChar = 0;
    dcb.EvtChar = eventChar_;
    if (!SetCommState(AsHandle(fd_), &dcb))
        RaiseSerialError(SerialError::SetStateFailed, static_cast<int>(GetLastError()));
}

void TCustomSerialPort::ApplyTimeoutValues()
{
    // A remote device's transfers take their limits from Timeouts when they start.
    if (!CanApply() || remote_)
        return;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = static_cast<DWORD>(timeouts_.ReadInterval());
    t.ReadTotalTimeoutMultiplier = static_cast<DWORD>(timeouts_.ReadTotalMultiplier());
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(timeouts_.ReadTotalConstant());
    t.WriteTotalTimeoutMultiplier = static_cast<DWORD>(timeouts_.WriteTotalMultiplier());
    t.WriteTotalTimeoutConstant = static_cast<DWORD>(timeouts_.WriteTotalConstant());
    if (!SetCommTimeouts(AsHandle(fd_), &t))
        RaiseSerialError(SerialError::SetTimeoutsFailed, static_cast<int>(GetLastError()));
}

void TCustomSerialPort::ApplyBufferSizes()
{
    if (!CanApply() || remote_)
        return;
    if (!SetupComm(AsHandle(fd_), static_cast<DWORD>(buffer_.InputSize()), static_cast<DWORD>(buffer_.OutputSize())))
        RaiseSerialError(SerialError::SetupFailed, static_cast<int>(GetLastError()));
}

// --- transfers

int TCustomSerialPort::WriteString(const std::string &data)
{
    PendingIo io(SerialError::WriteFailed);
    if (data.empty())
        return 0;
    if (fd_ == -1)
        RaiseSerialError(SerialError::WriteFailed, ERROR_INVALID_HANDLE);
    const HANDLE device = AsHandle(fd_);
    io.copy = data;
    io.Started(WriteFile(device, io.copy.data(), static_cast<DWORD>(io.copy.size()), nullptr, io.Block()));
    ForEachLink([](TSerialLink &link) { if (link.TxActivity) link.TxActivity(true); });
    // A hook that pumped UI events may have closed the port: the close
    // aborted the transfer, which then completes with its error.
    int count = 0;
    if (remote_) {
        const std::uint64_t limit = static_cast<std::uint32_t>(timeouts_.WriteTotalMultiplier()) * io.copy.size() +
                                    static_cast<std::uint32_t>(timeouts_.WriteTotalConstant());
        count = static_cast<int>(io.WaitAtMost(device, limit == 0 || limit >= INFINITE ? INFINITE : static_cast<DWORD>(limit)));
        if (thread_)
            thread_->NotifyWritten(0);
    } else {
        count = static_cast<int>(io.Wait(device));
    }
    ForEachLink([&](TSerialLink &link) {
        if (link.TxBufferSent)
            link.TxBufferSent(io.copy.data(), count);
    });
    return count;
}

// A remote device's read. The usual combinations of the timeouts hold as
// on Linux: "return what is queued", "wait up to the constant for the first
// byte", and a total limit; a pipe read ends with the bytes there are, so
// the interval limit is not needed.
int TCustomSerialPort::ReadBytes(char *buffer, int count)
{
    constexpr std::uint64_t kAllBits = 0xFFFFFFFFu;
    const std::uint64_t interval = static_cast<std::uint32_t>(timeouts_.ReadInterval());
    const std::uint64_t multiplier = static_cast<std::uint32_t>(timeouts_.ReadTotalMultiplier());
    const std::uint64_t constant = static_cast<std::uint32_t>(timeouts_.ReadTotalConstant());
    const bool immediate = interval == kAllBits && multiplier == 0 && constant == 0;
    const bool firstByte = interval == kAllBits && multiplier == kAllBits && constant > 0 && constant < kAllBits;
    const std::uint64_t total = firstByte ? constant : multiplier * static_cast<std::uint64_t>(count) + constant;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(std::min<std::uint64_t>(total, 24ull * 3600 * 1000));
    const HANDLE pipe = AsHandle(fd_);
    int got = 0;
    while (got < count) {
        DWORD queued = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &queued, nullptr))
            break; // the link ended: nothing more will come
        DWORD wait = INFINITE;
        if (queued == 0) {
            if (immediate || (firstByte && got > 0))
                break;
            if (total != 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now()).count();
                if (left <= 0)
                    break;
                wait = static_cast<DWORD>(left);
            }
        }
        PendingIo io(SerialError::ReadFailed);
        io.Started(ReadFile(pipe, buffer + got, static_cast<DWORD>(count - got), nullptr, io.Block()));
        const DWORD n = io.WaitAtMost(pipe, wait);
        if (n == 0)
            break;
        got += static_cast<int>(n);
    }
    return got;
}

int TCustomSerialPort::ReadString(std::string &data, int count)
{
    PendingIo io(SerialError::ReadFailed);
    if (count <= 0) {
        data.clear();
        return 0;
    }
    if (fd_ == -1)
        RaiseSerialError(SerialError::ReadFailed, ERROR_INVALID_HANDLE);
    const HANDLE device = AsHandle(fd_);
    // "Return at once with what is queued" and nothing is queued: the result
    // is known. Some drivers (wine's) would leave such a read pending until
    // bytes arrive.
    if (timeouts_.ReadInterval() == -1 && timeouts_.ReadTotalMultiplier() == 0 &&
        timeouts_.ReadTotalConstant() == 0 && InputQueueCount() == 0) {
        data.clear();
        ForEachLink([](TSerialLink &link) { if (link.RxActivity) link.RxActivity(false); });
        return 0;
    }
    data.resize(static_cast<size_t>(count));
    DWORD got = 0;
    try {
        if (remote_) {
            got = static_cast<DWORD>(ReadBytes(data.data(), count));
        } else {
            io.Started(ReadFile(device, data.data(), static_cast<DWORD>(count), nullptr, io.Block()));
            got = io.Wait(device);
        }
    } catch (...) {
        data.clear();
        throw;
    }
    data.resize(got);
    if (InputQueueCount() == 0)
        ForEachLink([](TSerialLink &link) { if (link.RxActivity) link.RxActivity(false); });
    return static_cast<int>(got);
}

// --- queue, lines, errors

int TCustomSerialPort::InputQueueCount()
{
    if (fd_ == -1)
        RaiseSerialError(SerialError::ClearErrorFailed, ERROR_INVALID_HANDLE);
    if (remote_) {
        // A link that ended holds nothing more; its loss is the event thread's to tell.
        DWORD queued = 0;
        if (!PeekNamedPipe(AsHandle(fd_), nullptr, 0, nullptr, &queued, nullptr)) {
            const DWORD error = GetLastError();
            if (error != ERROR_BROKEN_PIPE)
                RaiseSerialError(SerialError::ClearErrorFailed, static_cast<int>(error));
        }
        return static_cast<int>(queued);
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(AsHandle(fd_), &errors, &status))
        RaiseSerialError(SerialError::ClearErrorFailed, static_cast<int>(GetLastError()));
    return static_cast<int>(status.cbInQue);
}

std::uint8_t TCustomSerialPort::ModemSignals()
{
    if (fd_ == -1)
        RaiseSerialError(SerialError::ModemStatusFailed, ERROR_INVALID_HANDLE);
    if (remote_)
        return remote_->ModemLines();
    DWORD lines = 0;
    if (!GetCommModemStatus(AsHandle(fd_), &lines)) {
        const DWORD error = GetLastError();
        if (NoModemLines(error))
            return 0;
        RaiseSerialError(SerialError::ModemStatusFailed, static_cast<int>(error));
    }
    std::uint8_t signals = 0;
    if (lines & MS_CTS_ON)
        signals |= msCTS;
    if (lines & MS_DSR_ON)
        signals |= msDSR;
    if (lines & MS_RING_ON)
        signals |= msRing;
    if (lines & MS_RLSD_ON)
        signals |= msRLSD;
    return signals;
}

TSerialErrors TCustomSerialPort::LineErrors()
{
    if (fd_ == -1)
        RaiseSerialError(SerialError::ClearErrorFailed, ERROR_INVALID_HANDLE);
    // A device server's errors come with its line-state notifications.
    if (remote_)
        return TakeRemoteErrors();
    DWORD flags = 0;
    COMSTAT status{};
    if (!ClearCommError(AsHandle(fd_), &flags, &status))
        RaiseSerialError(SerialError::ClearErrorFailed, static_cast<int>(GetLastError()));
    TSerialErrors errors = 0;
    if (flags & CE_FRAME)
        errors |= seFrame;
    if ((flags & CE_RXPARITY) && parity_.Check())
        errors |= seParity;
    if (flags & CE_OVERRUN)
        errors |= seOverrun;
    if (flags & CE_BREAK)
        errors |= seBreak;
    if (flags & CE_IOE)
        errors |= seIo;
    if (flags & CE_MODE)
        errors |= seMode;
    if (flags & CE_RXOVER)
        errors |= seRxOver;
    if (flags & CE_TXFULL)
        errors |= seTxFull;
    return errors;
}

void TCustomSerialPort::AbortPendingIo()
{
    if (fd_ == -1)
        RaiseSerialError(SerialError::PurgeFailed, ERROR_INVALID_HANDLE);
    if (remote_) {
        CancelIoEx(AsHandle(fd_), nullptr);
        return;
    }
    if (!PurgeComm(AsHandle(fd_), PURGE_TXABORT | PURGE_RXABORT))
        RaiseSerialError(SerialError::PurgeFailed, static_cast<int>(GetLastError()));
}
