// The remote device on Windows: the port's overlapped I/O needs a handle
// that behaves like a COM port, which this build does not provide yet, so
// a remote name is refused with that reason when it is opened.
#include "remoteserialdevice.h"

#include "serialerror.h"

struct RemoteSerialDevice::State {
    std::function<void(std::uint8_t)> onModemLines;
};

RemoteSerialDevice::RemoteSerialDevice(std::function<void(std::uint8_t lines)> onModemLines)
    : state_(std::make_unique<State>())
{
    state_->onModemLines = std::move(onModemLines);
}

RemoteSerialDevice::~RemoteSerialDevice() = default;

int RemoteSerialDevice::Open(const std::string &name)
{
    throw ESerialPort(SerialError::OpenFailed, -1, name + ": remote ports are not available in the Windows build");
}

void RemoteSerialDevice::Configure(int, TDataBits, TParityBits, TStopBits, bool, bool)
{
    RaiseSerialError(SerialError::SetStateFailed);
}

void RemoteSerialDevice::Purge() noexcept {}

std::uint8_t RemoteSerialDevice::ModemLines() const { return 0; }

bool RemoteSerialDevice::Lost() const { return true; }
