#include "remoteserialdevice.h"

#include "remoteportcontrol.h"

void RemoteSerialDevice::Configure(int baudRate, TDataBits dataBits, TParityBits parity, TStopBits stopBits, bool dtr,
                                   bool rts)
{
    control_->Configure(baudRate, dataBits, parity, stopBits, dtr, rts, kReplyTimeoutMs, kControlReplyTimeoutMs);
}

void RemoteSerialDevice::Purge() noexcept { control_->Purge(kControlReplyTimeoutMs); }

std::uint8_t RemoteSerialDevice::ModemLines() const { return control_->ModemLines(); }

bool RemoteSerialDevice::Lost() const { return control_->Lost(); }
