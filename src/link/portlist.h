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
// class cannot be read at all.
std::vector<std::string> EnumeratePorts(const std::string &sysfsRoot = "/sys/class/tty");

// The sort used for the list, on its own.
void SortPortNames(std::vector<std::string> &names);

// Letter case ignored, bytes otherwise compared as they are.
bool SamePortText(const std::string &a, const std::string &b);
