#include "linereadback.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

LineReadback ReadLineSettings(int fd)
{
    LineReadback r;
    struct termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return r;
    r.ok = true;
    r.iflag = t.c_iflag;
    r.oflag = t.c_oflag;
    r.cflag = t.c_cflag;
    r.lflag = t.c_lflag;
    r.ispeed = t.c_ispeed;
    r.ospeed = t.c_ospeed;
    r.baudCode = t.c_cflag & CBAUD;
    r.customRate = (t.c_cflag & CBAUD) == BOTHER;
    r.startChar = t.c_cc[VSTART];
    r.stopChar = t.c_cc[VSTOP];
    return r;
}
