#pragma once

// Kernel termios2 (for rates outside the B-constants); this header must not
// meet glibc's <termios.h> in the same translation unit.
#include <asm/termbits.h>

#include "serialtypes.h"

// The line settings of a port in the form the device set-up needs.
struct SerialLineSettings {
    int baudRate = 9600;
    TDataBits dataBits = dbEight;
    TStopBits stopBits = sbOneStopBit;
    TParityBits parity = prNone;
    bool parityCheck = false;
    bool outCtsFlow = false;
    TRTSFlowControl controlRts = rtsDisable;
    TDTRFlowControl controlDtr = dtrDisable;
    bool xonXoffOut = false;
    bool xonXoffIn = false;
    char xonChar = 17;
    char xoffChar = 19;
};

// The B-constant for a standard rate, or BOTHER for any other rate.
unsigned BaudRateCode(int bitsPerSecond) noexcept;

// Raw-mode terminal settings for the line settings. Fields the line settings
// do not cover are taken from `current`.
struct termios2 BuildTermios(const SerialLineSettings &settings, const struct termios2 &current) noexcept;

// The levels DTR and RTS are held at while the port is open.
struct ModemLineLevels {
    bool dtr = false;
    bool rts = false;
};
ModemLineLevels ModemLinesFor(TDTRFlowControl dtr, TRTSFlowControl rts) noexcept;

// Bits on the wire per character (start, data, parity, stop), for estimating
// how long queued output takes to leave.
int BitsPerCharacter(const SerialLineSettings &settings) noexcept;
