"""pyserial's example RFC 2217 server in front of a pty.

A pty has no modem lines: the kernel refuses to set DTR/RTS or report
CTS/DSR on it, and the example server stops a session on that. Here those
requests are treated as a port without such lines; everything else is the
example server as Debian ships it.

With --lines FILE the lines come from that file instead: the words "cts",
"dsr", "ri" and "cd" in it are active lines, which the example server's
poller reports as it would a real port's. The words "break", "framing",
"parity" and "overrun" are line events: each time the file changes, those
in it are sent once as a line-state notification, within the mask the
client set.
usage: pty_rfc2217_server.py [--lines FILE] [example server arguments]
"""
import errno
import runpy
import sys

import serial.rfc2217 as rfc2217
import serial.serialposix as serialposix

EXAMPLE = "/usr/share/doc/python3-serial/examples/rfc2217_server.py"
LINE_EVENTS = {
    "break": rfc2217.LINESTATE_MASK_BREAK_DETECT,
    "framing": rfc2217.LINESTATE_MASK_FRAMING_ERROR,
    "parity": rfc2217.LINESTATE_MASK_PARTIY_ERROR,
    "overrun": rfc2217.LINESTATE_MASK_OVERRUN_ERROR,
}


def tolerate_missing_lines(method, default=None):
    def call(self, *args):
        try:
            return method(self, *args)
        except OSError as error:
            if error.errno not in (errno.ENOTTY, errno.EINVAL):
                raise
            return default
    return call


def control_words(path):
    try:
        with open(path) as control:
            return control.read().split()
    except OSError:
        return []


Serial = serialposix.Serial
for name in ("_update_rts_state", "_update_dtr_state", "_update_break_state"):
    setattr(Serial, name, tolerate_missing_lines(getattr(Serial, name)))

args = sys.argv[1:]
if args[:1] == ["--lines"]:
    lines_file = args[1]
    args = args[2:]
    for name in ("cts", "dsr", "ri", "cd"):
        setattr(Serial, name, property(lambda self, name=name: name in control_words(lines_file)))

    seen = {"words": []}
    check_modem_lines = rfc2217.PortManager.check_modem_lines

    def check_lines(self, force_notification=False):
        check_modem_lines(self, force_notification)
        words = control_words(lines_file)
        if words == seen["words"]:
            return
        seen["words"] = words
        state = sum(bit for word, bit in LINE_EVENTS.items() if word in words) & self.linstate_mask
        if state:
            self.rfc2217_send_subnegotiation(rfc2217.SERVER_NOTIFY_LINESTATE, bytes([state]))

    rfc2217.PortManager.check_modem_lines = check_lines
else:
    for name in ("cts", "dsr", "ri", "cd"):
        setattr(Serial, name, property(tolerate_missing_lines(getattr(Serial, name).fget, False)))

sys.argv = [EXAMPLE] + args
runpy.run_path(EXAMPLE, run_name="__main__")
