"""pyserial's example RFC 2217 server in front of a pty.

A pty has no modem lines: the kernel refuses to set DTR/RTS or report
CTS/DSR on it, and the example server stops a session on that. Here those
requests are treated as a port without such lines; everything else is the
example server as Debian ships it.
usage: pty_rfc2217_server.py [example server arguments]
"""
import errno
import runpy
import sys

import serial.serialposix as serialposix

EXAMPLE = "/usr/share/doc/python3-serial/examples/rfc2217_server.py"


def tolerate_missing_lines(method, default=None):
    def call(self, *args):
        try:
            return method(self, *args)
        except OSError as error:
            if error.errno not in (errno.ENOTTY, errno.EINVAL):
                raise
            return default
    return call


Serial = serialposix.Serial
for name in ("_update_rts_state", "_update_dtr_state", "_update_break_state"):
    setattr(Serial, name, tolerate_missing_lines(getattr(Serial, name)))
for name in ("cts", "dsr", "ri", "cd"):
    setattr(Serial, name, property(tolerate_missing_lines(getattr(Serial, name).fget, False)))

sys.argv = [EXAMPLE] + sys.argv[1:]
runpy.run_path(EXAMPLE, run_name="__main__")
