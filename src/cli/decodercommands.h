#pragma once

#include <optional>
#include <string>

namespace cli {

class EventWait;

// The decoder commands of the window's "Allgemein" and "Selektivruf" pages
// on a port of their own; each returns the exit code.
int RunInfo(const std::string &port, bool json, EventWait &wait);
int RunClock(const std::string &port, bool json, EventWait &wait);
int RunReset(const std::string &port, bool json, EventWait &wait);
int RunTones(const std::string &port, bool json, EventWait &wait);

// The firmware version the decoder reports, or nothing (the failure printed).
// With inBootloader, a decoder waiting in its bootloader sets it instead of
// being a failure.
std::optional<std::string> DecoderFirmware(const std::string &port, EventWait &wait, bool *inBootloader = nullptr);

// The serial ports present, with what stands behind each.
int RunPorts(bool json);
struct CheckOptions {
    std::string server;   // empty: the configured server
    std::string port;     // empty: the decoder's firmware is not compared
    bool json = false;
};
// The versions on the update server beside the tool's own (and the
// decoder's); ExitUpdateAvailable when the server offers a newer one.
int RunCheck(const CheckOptions &options, EventWait &wait);

} // namespace cli
