#include "decoderconnection.h"

#include "mainthreadsync.h"
#include "serialport.h"

#include <thread>

namespace session {

DecoderConnection::DecoderConnection(const std::string &storedPortName, Handlers handlers, PauseHook pause)
    : handlers_(std::move(handlers)), port_(std::make_unique<TSerialPort>())
{
    // Stored settings; the toggle replaces name and rate before every open,
    // so the stored 19200 baud never reaches a decoder.
    TSerialPort &port = *port_;
    port.BeginLoading();
    port.SetBaudRate(br19200);
    port.SetPort(storedPortName);
    ConfigureDecoderPort(port);
    // The device going and coming back leaves the connection the user's:
    // those closes and opens are not the front end's state changes.
    port.OnAfterOpen = [this](TCustomSerialPort &) {
        if (handlers_.afterOpen && !(deviceReturn_ && deviceReturn_->Quiet()))
            handlers_.afterOpen();
    };
    port.OnAfterClose = [this](TCustomSerialPort &) {
        if (handlers_.afterClose && !(deviceReturn_ && deviceReturn_->Quiet()))
            handlers_.afterClose();
    };
    // Runs inside the port's event delivery: a failure there ends delivery
    // (the port's own rule), so it is not caught here.
    port.OnRxChar = [this](TCustomSerialPort &, int count) { session_->Receive(count); };
    port.OnDeviceLost = [this](TCustomSerialPort &) {
        deviceReturn_->Lost();
        if (handlers_.deviceLost)
            handlers_.deviceLost();
    };
    port.EndLoading();
    session_ = std::make_unique<DecoderSession>(
        port, [this](const decoder::DecoderLine &line) { TakeLine(line); }, std::move(pause));
    deviceReturn_ = std::make_unique<DeviceReturn>(port);
    session_->SetCommandGuard([this] { deviceReturn_->CheckPresent(); });

    MainThreadSync::Instance().SetMainThread(std::this_thread::get_id());
}

DecoderConnection::~DecoderConnection() = default;

void DecoderConnection::Toggle(const std::string &portName)
{
    TSerialPort &port = *port_;
    if (deviceReturn_->Waiting()) {
        // Disconnecting while the device is away: the port is closed already.
        deviceReturn_->Forget();
        port.SetPort(portName);
        port.SetBaudRate(br9600);
        if (handlers_.afterClose)
            handlers_.afterClose();
        return;
    }
    port.SetPort(portName);
    if (port.Connected()) {
        port.ClosePort();
        port.SetBaudRate(br9600);
    } else {
        session_->Open(portName);
    }
}

bool DecoderConnection::RetryLostDevice()
{
    if (!deviceReturn_->TryReopen())
        return false;
    if (handlers_.deviceReturned)
        handlers_.deviceReturned();
    return true;
}

int DecoderConnection::WakeFd() const { return MainThreadSync::Instance().WakeFd(); }

void DecoderConnection::DeliverHandOvers() { MainThreadSync::Instance().CheckSynchronize(); }

void DecoderConnection::TakeLine(const decoder::DecoderLine &line)
{
    switch (line.kind) {
    case decoder::LineKind::SerialNumber: serialNumber_ = line.value; break;
    case decoder::LineKind::FirmwareVersion: firmwareVersion_ = line.value; break;
    case decoder::LineKind::HardwareRevision: hardwareRevision_ = line.value; break;
    default: break;
    }
    if (handlers_.line)
        handlers_.line(line);
}

} // namespace session
