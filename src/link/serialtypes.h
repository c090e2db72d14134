#pragma once

#include <cstdint>

// Enumerations of the serial port component. The ordinal of each member is
// its position; sets use bit n for member n.

enum TBaudRate {
    brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200,
    br38400, br56000, br57600, br115200, br128000, br256000
};
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TSerialEvent { evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full };
enum TSyncMethod { smThreadSync, smWindowSync, smNone };

using TSerialEvents = std::uint16_t;
constexpr TSerialEvents EventBit(TSerialEvent event) { return static_cast<TSerialEvents>(1u << event); }
constexpr TSerialEvents kAllSerialEvents = 0x3FF;
// Internal to the event thread's hand-over, never in a port's Events: the
// device went away under the open port.
constexpr TSerialEvents kDeviceGoneBit = 0x8000;

// Line error flags returned by LineErrors.
using TSerialErrors = std::uint8_t;
enum SerialErrorBit : TSerialErrors {
    seFrame = 1 << 0, seParity = 1 << 1, seOverrun = 1 << 2, seBreak = 1 << 3,
    seIo = 1 << 4, seMode = 1 << 5, seRxOver = 1 << 6, seTxFull = 1 << 7
};

// Modem line bits returned by ModemSignals.
enum ModemSignal : std::uint8_t { msCTS = 1 << 0, msDSR = 1 << 1, msRing = 1 << 2, msRLSD = 1 << 3 };

// Bits per second of a rate member; 0 for brCustom (the port uses CustomBaudRate).
int BaudRateValue(TBaudRate rate) noexcept;
constexpr int DataBitsValue(TDataBits bits) noexcept { return 5 + static_cast<int>(bits); }
