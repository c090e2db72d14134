#pragma once

#include "serialtypes.h"

#include <cstdint>

class TCustomSerialPort;

// The four settings objects of a port. Each keeps a back pointer to its port
// and hands a changed value to the open device through it. Objects made on
// their own (port == nullptr) only hold values, for assigning to a port.

class TSerialParity {
public:
    explicit TSerialParity(TCustomSerialPort *port = nullptr) : port_(port) {}
    TSerialParity(const TSerialParity &other);
    TSerialParity &operator=(const TSerialParity &) = delete;

    // Copies the four fields, then applies line settings once.
    void Assign(const TSerialParity &other);

    TParityBits Bits() const { return bits_; }
    bool Check() const { return check_; }
    bool Replace() const { return replace_; }
    char ReplaceChar() const { return replaceChar_; }
    void SetBits(TParityBits value);
    void SetCheck(bool value);
    void SetReplace(bool value);
    void SetReplaceChar(char value);

    TCustomSerialPort *Port() const { return port_; }

private:
    void Apply();

    TCustomSerialPort *port_;
    TParityBits bits_ = prNone;
    bool check_ = false;
    bool replace_ = false;
    char replaceChar_ = 0;
};

class TSerialFlowControl {
public:
    explicit TSerialFlowControl(TCustomSerialPort *port = nullptr) : port_(port) {}
    TSerialFlowControl(const TSerialFlowControl &other);
    TSerialFlowControl &operator=(const TSerialFlowControl &) = delete;

    void Assign(const TSerialFlowControl &other);

    bool OutCTSFlow() const { return outCtsFlow_; }
    bool OutDSRFlow() const { return outDsrFlow_; }
    TDTRFlowControl ControlDTR() const { return controlDtr_; }
    TRTSFlowControl ControlRTS() const { return controlRts_; }
    bool XonXoffOut() const { return xonXoffOut_; }
    bool XonXoffIn() const { return xonXoffIn_; }
    bool DSRSensitivity() const { return dsrSensitivity_; }
    bool TxContinueOnXoff() const { return txContinueOnXoff_; }
    char XonChar() const { return xonChar_; }
    char XoffChar() const { return xoffChar_; }
    void SetOutCTSFlow(bool value);
    void SetOutDSRFlow(bool value);
    void SetControlDTR(TDTRFlowControl value);
    void SetControlRTS(TRTSFlowControl value);
    void SetXonXoffOut(bool value);
    void SetXonXoffIn(bool value);
    void SetDSRSensitivity(bool value);
    void SetTxContinueOnXoff(bool value);
    void SetXonChar(char value);
    void SetXoffChar(char value);

    // Summary of the switches; not stored.
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl value);

    TCustomSerialPort *Port() const { return port_; }

private:
    void Apply();

    TCustomSerialPort *port_;
    bool outCtsFlow_ = false;
    bool outDsrFlow_ = false;
    TDTRFlowControl controlDtr_ = dtrDisable;
    TRTSFlowControl controlRts_ = rtsDisable;
    bool xonXoffOut_ = false;
    bool xonXoffIn_ = false;
    bool dsrSensitivity_ = false;
    bool txContinueOnXoff_ = false;
    char xonChar_ = 17;
    char xoffChar_ = 19;
};

// Milliseconds, signed 32 bit; -1 stands for "all bits set".
class TSerialTimeouts {
public:
    explicit TSerialTimeouts(TCustomSerialPort *port = nullptr) : port_(port) {}
    TSerialTimeouts(const TSerialTimeouts &other);
    TSerialTimeouts &operator=(const TSerialTimeouts &) = delete;

    void Assign(const TSerialTimeouts &other);

    std::int32_t ReadInterval() const { return readInterval_; }
    std::int32_t ReadTotalMultiplier() const { return readTotalMultiplier_; }
    std::int32_t ReadTotalConstant() const { return readTotalConstant_; }
    std::int32_t WriteTotalMultiplier() const { return writeTotalMultiplier_; }
    std::int32_t WriteTotalConstant() const { return writeTotalConstant_; }
    void SetReadInterval(std::int32_t value);
    void SetReadTotalMultiplier(std::int32_t value);
    void SetReadTotalConstant(std::int32_t value);
    void SetWriteTotalMultiplier(std::int32_t value);
    void SetWriteTotalConstant(std::int32_t value);

    TCustomSerialPort *Port() const { return port_; }

private:
    void Apply();

    TCustomSerialPort *port_;
    std::int32_t readInterval_ = -1;
    std::int32_t readTotalMultiplier_ = 0;
    std::int32_t readTotalConstant_ = 0;
    std::int32_t writeTotalMultiplier_ = 100;
    std::int32_t writeTotalConstant_ = 1000;
};

class TSerialBuffer {
public:
    explicit TSerialBuffer(TCustomSerialPort *port = nullptr) : port_(port) {}
    TSerialBuffer(const TSerialBuffer &other);
    TSerialBuffer &operator=(const TSerialBuffer &) = delete;

    void Assign(const TSerialBuffer &other);

    int InputSize() const { return inputSize_; }
    int OutputSize() const { return outputSize_; }
    // Odd positive sizes are lowered to the even size below.
    void SetInputSize(int value);
    void SetOutputSize(int value);

    TCustomSerialPort *Port() const { return port_; }

private:
    void Apply();

    TCustomSerialPort *port_;
    int inputSize_ = 1024;
    int outputSize_ = 1024;
};
