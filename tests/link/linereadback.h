#pragma once

// What the kernel holds for a terminal, read with termios2 in its own
// translation unit (it cannot share one with glibc's <termios.h>).
struct LineReadback {
    bool ok = false;
    unsigned iflag = 0, oflag = 0, cflag = 0, lflag = 0;
    unsigned ispeed = 0, ospeed = 0;
    bool customRate = false;     // CBAUD holds BOTHER
    unsigned baudCode = 0;       // CBAUD bits
    unsigned char startChar = 0, stopChar = 0;
};

LineReadback ReadLineSettings(int fd);
