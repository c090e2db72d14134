#include "termiossettings.h"

unsigned BaudRateCode(int bitsPerSecond) noexcept
{
    switch (bitsPerSecond) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    default: return BOTHER;
    }
}

struct termios2 BuildTermios(const SerialLineSettings &s, const struct termios2 &current) noexcept
{
    struct termios2 t = current;

    // Raw bytes both ways: no line editing, no echo, no translation, no signals.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                   IMAXBEL | IUCLC | IUTF8 | INPCK | IGNPAR);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_line = 0;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    // CLOCAL: a carrier drop must not hang up the line; the decoder has no DCD.
    // HUPCL off: DTR is driven from the settings, not by closing.
    t.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | HUPCL);
    t.c_cflag |= CREAD | CLOCAL;

    const unsigned code = BaudRateCode(s.baudRate);
    t.c_cflag |= code;
    t.c_ispeed = static_cast<speed_t>(s.baudRate);
    t.c_ospeed = static_cast<speed_t>(s.baudRate);

    static const unsigned kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[s.dataBits >= dbFive && s.dataBits <= dbEight ? s.dataBits : dbEight];

    // Linux has no 1.5 stop bits setting; CSTOPB gives 1.5 with 5 data bits
    // on common UARTs and 2 otherwise.
    if (s.stopBits != sbOneStopBit)
        t.c_cflag |= CSTOPB;

    switch (s.parity) {
    case prNone: break;
    case prOdd: t.c_cflag |= PARENB | PARODD; break;
    case prEven: t.c_cflag |= PARENB; break;
    case prMark: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case prSpace: t.c_cflag |= PARENB | CMSPAR; break;
    }
    // The kernel replaces a byte received with a parity error by NUL; it
    // cannot keep the byte or use another replacement.
    if (s.parityCheck)
        t.c_iflag |= INPCK;

    // CRTSCTS covers both directions; there is no separate CTS-only mode.
    if (s.outCtsFlow || s.controlRts == rtsHandshake)
        t.c_cflag |= CRTSCTS;

    if (s.xonXoffOut)
        t.c_iflag |= IXON;
    if (s.xonXoffIn)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
    return t;
}

ModemLineLevels ModemLinesFor(TDTRFlowControl dtr, TRTSFlowControl rts) noexcept
{
    ModemLineLevels levels;
    // There is no DTR handshake on Linux: the line is raised like "enable".
    levels.dtr = dtr == dtrEnable || dtr == dtrHandshake;
    // With handshake the driver moves RTS itself once it is raised; RTS
    // toggling around transmissions has no termios form and stays low.
    levels.rts = rts == rtsEnable || rts == rtsHandshake;
    return levels;
}

int BitsPerCharacter(const SerialLineSettings &s) noexcept
{
    const int stop = s.stopBits == sbOneStopBit ? 1 : 2;
    return 1 + DataBitsValue(s.dataBits) + (s.parity == prNone ? 0 : 1) + stop;
}
