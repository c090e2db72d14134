#pragma once

#include <string>
#include <vector>

// Serial devices present, as full device paths ("/dev/ttyUSB0"), sorted by
// the user's collation with letter case ignored; a device reached under two
// names (both paths resolve to the same file) is listed once.
//
// Sources: every tty under `sysfsRoot` that is backed by a driver (real
// hardware; 8250 ports whose UART type is unknown are placeholders and
// skipped), plus the colon-separated paths in KARVENZOP_PORTS, so that
// virtual ports appear too. Raises ESerialPort 23 with errno when the tty
// class cannot be read at all. A path from KARVENZOP_PORTS is listed while
// it exists.
std::vector<std::string> EnumeratePorts(const std::string &sysfsRoot = "/sys/class/tty");

// What the system knows about a device, for a tooltip: for a USB adapter its
// maker, product and serial number, and its stable name under by-id
// ("FTDI FT232R USB UART A1B2C3 (usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0)").
// Empty when nothing is known.
std::string PortDescription(const std::string &devicePath, const std::string &sysfsRoot = "/sys/class/tty",
                            const std::string &byIdDir = "/dev/serial/by-id");

// Folders whose entries coming and going may change the port list: /dev and
// the folders of the KARVENZOP_PORTS paths.
std::vector<std::string> PortFolders();

// The sort used for the list, on its own.
void SortPortNames(std::vector<std::string> &names);

// Letter case ignored, bytes otherwise compared as they are.
bool SamePortText(const std::string &a, const std::string &b);
