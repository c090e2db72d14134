// The remote device on Windows: a named pipe opened for overlapped I/O
// stands in for the COM device, so the port's reads and writes work on it
// as on a device; its queue count comes from PeekNamedPipe, and since a
// pipe cannot be waited on for bytes, an event tells the port's event
// thread when they arrive. The far end belongs to a thread that talks to
// the server.
#include "remoteserialdevice.h"

#include "httperrors.h"
#include "remoteportcontrol.h"
#include "rfc2217client.h"
#include "serialerror.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include <winsock2.h>
#include <windows.h>

namespace {

// Decoded bytes held while the port does not read: beyond this the thread
// stops reading the server, and TCP slows the sender down.
constexpr size_t kMaxHeld = 1 << 16;
constexpr int kSendTimeoutMs = 10000;
// Each write into the pipe fits its buffer, so it completes at once.
constexpr DWORD kPipeBuffer = 1 << 16;
constexpr size_t kChunk = 1 << 14;
// How long the bytes that came before a lost link may take to reach the port.
constexpr DWORD kFlushMs = 1000;

void CloseIf(HANDLE &handle)
{
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = nullptr;
}

HANDLE NewEvent(bool manualReset)
{
    const HANDLE event = CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
    if (event == nullptr)
        RaiseSerialError(SerialError::OpenFailed, static_cast<int>(GetLastError()));
    return event;
}

// One overlapped transfer on the bridge's end of the pipe.
struct Transfer {
    OVERLAPPED block{};
    bool busy = false;
    std::string bytes;

    // Started (done or pending); false when the pipe is gone.
    bool Started(BOOL ok)
    {
        busy = ok || GetLastError() == ERROR_IO_PENDING;
        return busy;
    }
    bool Done() const { return busy && WaitForSingleObject(block.hEvent, 0) == WAIT_OBJECT_0; }
    // The bytes moved, or -1 when the transfer failed.
    long Finish(HANDLE pipe, bool wait)
    {
        DWORD moved = 0;
        const BOOL ok = GetOverlappedResult(pipe, &block, &moved, wait ? TRUE : FALSE);
        busy = false;
        return ok ? static_cast<long>(moved) : -1;
    }
    void Cancel(HANDLE pipe)
    {
        if (!busy)
            return;
        CancelIoEx(pipe, &block);
        Finish(pipe, true);
    }
};

} // namespace

struct RemoteSerialDevice::State {
    Rfc2217Client client;
    RemotePortControl control{[this] { Wake(); }, ERROR_BROKEN_PIPE, WAIT_TIMEOUT};
    HANDLE bridgeEnd = nullptr;
    HANDLE wake = nullptr;     // commands and the stop
    HANDLE network = nullptr;  // the socket's readability and close
    HANDLE readable = nullptr; // bytes reached the port's end, or the link ended
    std::thread thread;
    std::atomic<bool> stop{false};
    std::function<void(std::uint8_t)> onModemLines;

    void Run();
    void Wake() { SetEvent(wake); }
    // Hands the next chunk of `toPort` to the pipe when no write is under way.
    bool WriteToPort(Transfer &out, std::string &toPort)
    {
        if (out.busy || toPort.empty())
            return true;
        const size_t size = std::min(toPort.size(), kChunk);
        out.bytes.assign(toPort, 0, size);
        toPort.erase(0, size);
        ResetEvent(out.block.hEvent);
        const bool started =
            out.Started(WriteFile(bridgeEnd, out.bytes.data(), static_cast<DWORD>(size), nullptr, &out.block));
        SetEvent(readable);
        return started;
    }
};

void RemoteSerialDevice::State::Run()
{
    const SOCKET socket = static_cast<SOCKET>(client.NativeHandle());
    Transfer in, out;
    in.block.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    out.block.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char fromPort[4096];
    std::string toPort;
    bool peerClosed = false;
    bool failed = in.block.hEvent == nullptr || out.block.hEvent == nullptr ||
                  WSAEventSelect(socket, network, FD_READ | FD_CLOSE) != 0;
    while (!stop.load() && !failed) {
        // Sends what the port wrote, all of it, before any command.
        try {
            bool portOpen = true;
            for (;;) {
                if (in.Done()) {
                    const long n = in.Finish(bridgeEnd, false);
                    if (n < 0) {
                        portOpen = false; // the port closed its end
                        break;
                    }
                    client.SendData(fromPort, static_cast<size_t>(n), kSendTimeoutMs);
                }
                if (in.busy)
                    break;
                ResetEvent(in.block.hEvent);
                if (!in.Started(ReadFile(bridgeEnd, fromPort, sizeof fromPort, nullptr, &in.block))) {
                    portOpen = false;
                    break;
                }
            }
            if (!portOpen)
                break;
            control.SendQueued(client, kSendTimeoutMs);
        } catch (const EHttpException &) {
            failed = true;
            break;
        }
        // The record of the socket's events is cleared before reading, so
        // bytes that come meanwhile signal again; while the port does not
        // read, the record stays for later. A close comes once, so what
        // follows it is read without waiting until the end shows.
        if (toPort.size() + out.bytes.size() < kMaxHeld) {
            WSANETWORKEVENTS happened{};
            WSAEnumNetworkEvents(socket, network, &happened);
            peerClosed = peerClosed || (happened.lNetworkEvents & FD_CLOSE);
            if (peerClosed || client.HasPending() || (happened.lNetworkEvents & FD_READ)) {
                if (!client.Receive(toPort, kSendTimeoutMs))
                    failed = true;
                control.TakeReplies(client);
            }
        }
        if (out.Done()) {
            if (out.Finish(bridgeEnd, false) < 0)
                break;
            out.bytes.clear();
        }
        if (!WriteToPort(out, toPort) || failed)
            break;

        HANDLE objects[4];
        DWORD count = 0;
        objects[count++] = wake;
        if (in.busy)
            objects[count++] = in.block.hEvent;
        const bool room = toPort.size() + out.bytes.size() < kMaxHeld;
        if (room)
            objects[count++] = network;
        if (out.busy)
            objects[count++] = out.block.hEvent;
        const bool more = room && (peerClosed || client.HasPending());
        WaitForMultipleObjects(count, objects, FALSE, more ? 0 : INFINITE);
    }
    in.Cancel(bridgeEnd);
    // The bytes that came before the end still reach the port, then it sees
    // the pipe broken, as of an adapter pulled out.
    const DWORD flushStart = GetTickCount();
    while (!stop.load() && (out.busy || !toPort.empty()) && GetTickCount() - flushStart < kFlushMs) {
        if (out.busy && WaitForSingleObject(out.block.hEvent, kFlushMs) != WAIT_OBJECT_0)
            break;
        if (out.busy && out.Finish(bridgeEnd, false) < 0)
            break;
        out.bytes.clear();
        if (!WriteToPort(out, toPort))
            break;
    }
    out.Cancel(bridgeEnd);
    control.MarkLost();
    CloseIf(bridgeEnd);
    SetEvent(readable);
    CloseIf(in.block.hEvent);
    CloseIf(out.block.hEvent);
}

RemoteSerialDevice::RemoteSerialDevice(std::function<void(std::uint8_t lines)> onModemLines)
    : state_(std::make_unique<State>())
{
    state_->onModemLines = std::move(onModemLines);
    control_ = &state_->control;
}

RemoteSerialDevice::~RemoteSerialDevice()
{
    State &s = *state_;
    s.stop.store(true);
    if (s.thread.joinable()) {
        s.Wake();
        s.thread.join();
    }
    s.client.Close();
    CloseIf(s.bridgeEnd);
    CloseIf(s.wake);
    CloseIf(s.network);
    CloseIf(s.readable);
}

int RemoteSerialDevice::Open(const std::string &name)
{
    State &s = *state_;
    s.wake = NewEvent(false);
    s.network = NewEvent(true);
    s.readable = NewEvent(false);
    s.control.Connect(s.client, name, kConnectTimeoutMs, s.onModemLines, OnLineState);

    // A name of this process alone; only this process connects to it.
    static std::atomic<unsigned> serial{0};
    const std::string pipeName = "\\\\.\\pipe\\karvenzop-remote-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(serial.fetch_add(1)) + "-" + std::to_string(GetTickCount());
    s.bridgeEnd = CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                   kPipeBuffer, kPipeBuffer, 0, nullptr);
    if (s.bridgeEnd == INVALID_HANDLE_VALUE) {
        s.bridgeEnd = nullptr;
        RaiseSerialError(SerialError::OpenFailed, static_cast<int>(GetLastError()));
    }
    const HANDLE portEnd = CreateFileA(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED, nullptr);
    if (portEnd == INVALID_HANDLE_VALUE)
        RaiseSerialError(SerialError::OpenFailed, static_cast<int>(GetLastError()));
    try {
        s.thread = std::thread([&s] { s.Run(); });
    } catch (...) {
        CloseHandle(portEnd);
        throw;
    }
    return static_cast<int>(reinterpret_cast<std::intptr_t>(portEnd));
}

int RemoteSerialDevice::ReadableEvent() const
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(state_->readable));
}
