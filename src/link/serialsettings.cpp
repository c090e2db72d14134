#include "serialsettings.h"

#include "serialport.h"

namespace {

template <class T>
bool Change(T &field, T value)
{
    if (field == value)
        return false;
    field = value;
    return true;
}

} // namespace

int BaudRateValue(TBaudRate rate) noexcept
{
    static const int kRates[] = {0,     110,   300,   600,   1200,   2400,   4800,   9600,
                                 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    if (rate < brCustom || rate > br256000)
        return 0;
    return kRates[rate];
}

// --- parity

TSerialParity::TSerialParity(const TSerialParity &other)
    : port_(nullptr), bits_(other.bits_), check_(other.check_), replace_(other.replace_),
      replaceChar_(other.replaceChar_)
{
}

void TSerialParity::Assign(const TSerialParity &other)
{
    bits_ = other.bits_;
    check_ = other.check_;
    replace_ = other.replace_;
    replaceChar_ = other.replaceChar_;
    Apply();
}

void TSerialParity::SetBits(TParityBits value) { if (Change(bits_, value)) Apply(); }
void TSerialParity::SetCheck(bool value) { if (Change(check_, value)) Apply(); }
void TSerialParity::SetReplace(bool value) { if (Change(replace_, value)) Apply(); }
void TSerialParity::SetReplaceChar(char value) { if (Change(replaceChar_, value)) Apply(); }

void TSerialParity::Apply()
{
    if (port_)
        port_->ApplyLineSettings();
}

// --- flow control

TSerialFlowControl::TSerialFlowControl(const TSerialFlowControl &other)
    : port_(nullptr), outCtsFlow_(other.outCtsFlow_), outDsrFlow_(other.outDsrFlow_),
      controlDtr_(other.controlDtr_), controlRts_(other.controlRts_), xonXoffOut_(other.xonXoffOut_),
      xonXoffIn_(other.xonXoffIn_), dsrSensitivity_(other.dsrSensitivity_),
      txContinueOnXoff_(other.txContinueOnXoff_), xonChar_(other.xonChar_), xoffChar_(other.xoffChar_)
{
}

void TSerialFlowControl::Assign(const TSerialFlowControl &other)
{
    outCtsFlow_ = other.outCtsFlow_;
    outDsrFlow_ = other.outDsrFlow_;
    controlDtr_ = other.controlDtr_;
    controlRts_ = other.controlRts_;
    xonXoffOut_ = other.xonXoffOut_;
    xonXoffIn_ = other.xonXoffIn_;
    dsrSensitivity_ = other.dsrSensitivity_;
    txContinueOnXoff_ = other.txContinueOnXoff_;
    xonChar_ = other.xonChar_;
    xoffChar_ = other.xoffChar_;
    Apply();
}

void TSerialFlowControl::SetOutCTSFlow(bool value) { if (Change(outCtsFlow_, value)) Apply(); }
void TSerialFlowControl::SetOutDSRFlow(bool value) { if (Change(outDsrFlow_, value)) Apply(); }
void TSerialFlowControl::SetControlDTR(TDTRFlowControl value) { if (Change(controlDtr_, value)) Apply(); }
void TSerialFlowControl::SetControlRTS(TRTSFlowControl value) { if (Change(controlRts_, value)) Apply(); }
void TSerialFlowControl::SetXonXoffOut(bool value) { if (Change(xonXoffOut_, value)) Apply(); }
void TSerialFlowControl::SetXonXoffIn(bool value) { if (Change(xonXoffIn_, value)) Apply(); }
void TSerialFlowControl::SetDSRSensitivity(bool value) { if (Change(dsrSensitivity_, value)) Apply(); }
void TSerialFlowControl::SetTxContinueOnXoff(bool value) { if (Change(txContinueOnXoff_, value)) Apply(); }
void TSerialFlowControl::SetXonChar(char value) { if (Change(xonChar_, value)) Apply(); }
void TSerialFlowControl::SetXoffChar(char value) { if (Change(xoffChar_, value)) Apply(); }

TFlowControl TSerialFlowControl::FlowControl() const
{
    if (controlRts_ == rtsHandshake && outCtsFlow_ && !xonXoffIn_ && !xonXoffOut_)
        return fcHardware;
    if (controlRts_ == rtsDisable && !outCtsFlow_ && xonXoffIn_ && xonXoffOut_)
        return fcSoftware;
    if (controlRts_ != rtsDisable || outCtsFlow_ || xonXoffIn_ || xonXoffOut_)
        return fcCustom;
    return fcNone;
}

void TSerialFlowControl::SetFlowControl(TFlowControl value)
{
    // Only the four switches that make up the summary are touched; DTR and
    // DSR settings stay as they are.
    if (value != fcCustom) {
        controlRts_ = rtsDisable;
        outCtsFlow_ = false;
        xonXoffIn_ = false;
        xonXoffOut_ = false;
        if (value == fcHardware) {
            controlRts_ = rtsHandshake;
            outCtsFlow_ = true;
        } else if (value == fcSoftware) {
            xonXoffIn_ = true;
            xonXoffOut_ = true;
        }
    }
    Apply();
}

void TSerialFlowControl::Apply()
{
    if (port_)
        port_->ApplyLineSettings();
}

// --- time-outs

TSerialTimeouts::TSerialTimeouts(const TSerialTimeouts &other)
    : port_(nullptr), readInterval_(other.readInterval_), readTotalMultiplier_(other.readTotalMultiplier_),
      readTotalConstant_(other.readTotalConstant_), writeTotalMultiplier_(other.writeTotalMultiplier_),
      writeTotalConstant_(other.writeTotalConstant_)
{
}

void TSerialTimeouts::Assign(const TSerialTimeouts &other)
{
    readInterval_ = other.readInterval_;
    readTotalMultiplier_ = other.readTotalMultiplier_;
    readTotalConstant_ = other.readTotalConstant_;
    writeTotalMultiplier_ = other.writeTotalMultiplier_;
    writeTotalConstant_ = other.writeTotalConstant_;
    Apply();
}

void TSerialTimeouts::SetReadInterval(std::int32_t value) { if (Change(readInterval_, value)) Apply(); }
void TSerialTimeouts::SetReadTotalMultiplier(std::int32_t value) { if (Change(readTotalMultiplier_, value)) Apply(); }
void TSerialTimeouts::SetReadTotalConstant(std::int32_t value) { if (Change(readTotalConstant_, value)) Apply(); }
void TSerialTimeouts::SetWriteTotalMultiplier(std::int32_t value) { if (Change(writeTotalMultiplier_, value)) Apply(); }
void TSerialTimeouts::SetWriteTotalConstant(std::int32_t value) { if (Change(writeTotalConstant_, value)) Apply(); }

void TSerialTimeouts::Apply()
{
    if (port_)
        port_->ApplyTimeoutValues();
}

// --- buffer sizes

TSerialBuffer::TSerialBuffer(const TSerialBuffer &other)
    : port_(nullptr), inputSize_(other.inputSize_), outputSize_(other.outputSize_)
{
}

void TSerialBuffer::Assign(const TSerialBuffer &other)
{
    inputSize_ = other.inputSize_;
    outputSize_ = other.outputSize_;
    Apply();
}

void TSerialBuffer::SetInputSize(int value)
{
    if (inputSize_ == value)
        return;
    inputSize_ = value;
    if (inputSize_ > 0 && inputSize_ % 2 != 0)
        --inputSize_;
    Apply();
}

void TSerialBuffer::SetOutputSize(int value)
{
    if (outputSize_ == value)
        return;
    outputSize_ = value;
    if (outputSize_ > 0 && outputSize_ % 2 != 0)
        --outputSize_;
    Apply();
}

void TSerialBuffer::Apply()
{
    if (port_)
        port_->ApplyBufferSizes();
}
