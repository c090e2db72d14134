#pragma once

#include <string>
#include <string_view>

class BootloaderHost;
class TSerialPort;

namespace session {

class DecoderSession;

// The firmware update after the image is on disk: the decoder's reset into
// its bootloader over the serial port, then the bootloader library writes
// the image through the host, and the port is opened again at 9600.
class FirmwareUpdater {
public:
    enum class Outcome {
        Flashed,         // "Firmware OK"
        NoBootloader,    // Connect said no: nothing written, the port stays closed
        ProgramFailed,   // reported through the host; the port is open again if the device is still there
    };

    // session: the decoder session on the port, told of the stale input
    // once the port is open again (none when nobody reads the decoder then).
    FirmwareUpdater(TSerialPort &port, BootloaderHost &host, DecoderSession *session = nullptr)
        : port_(port), host_(host), session_(session)
    {
    }

    // image: the checked bytes of the firmware file. The library reads them
    // from a private copy no one else can change (the file saved for the user
    // may be swapped under its name). Failures of the copy, the port, of
    // Connect, and anything that is not a system exception pass on to the
    // caller.
    Outcome Flash(std::string_view image);

private:
    TSerialPort &port_;
    BootloaderHost &host_;
    DecoderSession *session_;
};

} // namespace session
