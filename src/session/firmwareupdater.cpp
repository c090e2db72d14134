#include "firmwareupdater.h"

#include "bootloaderhost.h"
#include "decodersession.h"
#include "exception.h"
#include "privatecopy.h"
#include "serialport.h"

namespace session {

FirmwareUpdater::Outcome FirmwareUpdater::Flash(std::string_view image)
{
    if (!host_.Loader())
        throw Exception("The bootloader library is not loaded");
    // Made before the decoder is reset, so a failure leaves it untouched.
    const PrivateCopy copy(image);
    host_.SetImageFile(copy.Path());
    struct Forget {
        BootloaderHost &host;
        ~Forget() { host.SetImageFile({}); }
    } forget{host_};

    // The reset command starts the decoder's bootloader; then the port is
    // left to the library's own link.
    SendReset(port_);
    port_.ClosePort();

    IntfPtr<IBootloader> loader = host_.Loader();
    if (!loader->Connect(-1))
        return Outcome::NoBootloader;

    auto finish = [&] {
        loader->Disconnect();
        // Before the open: its handlers may already take in what came.
        if (session_)
            session_->ExpectStaleInput();
        port_.SetBaudRate(br9600);
        port_.OpenPort();
    };
    Outcome outcome = Outcome::Flashed;
    try {
        loader->Program(-1, -1);
        host_.Output(u"Firmware OK", 0);
        host_.ShowStatus("Firmware OK.");
    } catch (const Exception &e) {
        host_.ReportProgramFailure(e.Message());
        outcome = Outcome::ProgramFailed;
    } catch (...) {
        finish();
        throw;
    }
    if (outcome == Outcome::ProgramFailed) {
        // A device lost mid-write cannot be opened again either; that the
        // write failed, and why, is what the user must hear.
        try {
            finish();
        } catch (const Exception &) {
        }
        return outcome;
    }
    finish();
    return outcome;
}

} // namespace session
