#include "decodersession.h"

#include "serialport.h"

namespace session {

void ConfigureDecoderPort(TSerialPort &port)
{
    port.Parity().SetBits(prNone);
    port.SetStopBits(sbOneStopBit);
    port.SetDataBits(dbEight);
    port.SetEvents(kAllSerialEvents);
    port.FlowControl().SetControlDTR(dtrDisable);
    port.FlowControl().SetControlRTS(rtsDisable);
    port.SetSyncMethod(smThreadSync);
}

void SendReset(TSerialPort &port)
{
    if (port.Connected())
        port.ClosePort();
    port.SetBaudRate(br9600);
    port.OpenPort();
    port.WriteString(decoder::BuildCommand("B"));
}

DecoderSession::DecoderSession(TSerialPort &port, decoder::DecoderReader::LineHandler onLine, PauseHook pause)
    : port_(port), reader_(std::move(onLine)), pause_(std::move(pause))
{
}

void DecoderSession::Open(const std::string &portName)
{
    port_.SetPort(portName);
    port_.SetBaudRate(br9600);
    port_.OpenPort();
}

void DecoderSession::Write(const std::string &command)
{
    if (guard_)
        guard_();
    port_.WriteString(command);
}

void DecoderSession::ReadAllValues()
{
    for (const char *code : {"GS", "GF", "GR", "GT", "GA"}) {
        Write(decoder::BuildCommand(code));
        pause_(CommandPauseMs);
    }
}

void DecoderSession::SetClock(std::time_t now)
{
    std::tm local{};
    localtime_r(&now, &local);
    Write(decoder::BuildClockCommand(local));
}

void DecoderSession::Reset()
{
    if (guard_)
        guard_();
    SendReset(port_);
}

void DecoderSession::RequestToneTable()
{
    Write(decoder::BuildCommand("GZ"));
    pause_(CommandPauseMs);
}

void DecoderSession::Receive(int count)
{
    std::string bytes;
    port_.ReadString(bytes, count);
    if (staleInput_ && !bytes.empty()) {
        // 50 ms without a byte, some 50 characters at 9600 baud: what the
        // decoder sent at the old rate has ended. Only an unfinished line
        // is dropped; whole lines went their way meanwhile.
        const auto now = std::chrono::steady_clock::now();
        if (staleSeen_ && now - lastStaleByte_ >= std::chrono::milliseconds(50)) {
            reader_.ClearBuffer();
            staleInput_ = false;
        }
        staleSeen_ = true;
        lastStaleByte_ = now;
    }
    reader_.AssembleDecoderLines(bytes);
}

void DecoderSession::ExpectStaleInput()
{
    staleInput_ = true;
    staleSeen_ = false;
}

} // namespace session
