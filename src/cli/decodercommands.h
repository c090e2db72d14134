#pragma once

#include <string>

namespace cli {

class EventWait;

// The decoder commands of the window's "Allgemein" and "Selektivruf" pages
// on a port of their own; each returns the exit code.
int RunInfo(const std::string &port, bool json, EventWait &wait);
int RunClock(const std::string &port, EventWait &wait);
int RunReset(const std::string &port, EventWait &wait);
int RunTones(const std::string &port, bool json, EventWait &wait);

// The firmware version the decoder reports; empty when it does not answer
// in time. Port failures are raised.
std::string ReadDecoderFirmwareVersion(const std::string &port, EventWait &wait);

// The serial ports present, with what stands behind each.
int RunPorts(bool json);
// The versions on the update server beside the tool's own.
int RunCheck(const std::string &server, bool json);

} // namespace cli
