#pragma once

#include <string>
#include <string_view>

class BootloaderHost;
class TSerialPort;

namespace decoder {
class DecoderReader;
}

namespace session {

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

    // reader: where the decoder's lines are read after the port opens again
    // (none when nobody reads them).
    FirmwareUpdater(TSerialPort &port, BootloaderHost &host, decoder::DecoderReader *reader = nullptr)
        : port_(port), host_(host), reader_(reader)
    {
    }

    // image: the checked bytes of the firmware file. The library reads them
    // from a private copy no one else can change (the file saved for the user
    // may be swapped under its name). Failures of the copy, the port, of
    // Connect, and anything that is not a system exception pass on to the
    // caller.
    Outcome Flash(std::string_view image);

private:
    void DropStaleInput();

    TSerialPort &port_;
    BootloaderHost &host_;
    decoder::DecoderReader *reader_;
};

} // namespace session
