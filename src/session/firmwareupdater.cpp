#include "firmwareupdater.h"

#include "bootloaderhost.h"
#include "decodersession.h"
#include "exception.h"
#include "serialport.h"

namespace session {

FirmwareUpdater::Outcome FirmwareUpdater::Flash(const std::string &imagePath)
{
    if (!host_.Loader())
        throw Exception("The bootloader library is not loaded");
    host_.SetImageFile(imagePath);

    // The reset command starts the decoder's bootloader; then the port is
    // left to the library's own link.
    SendReset(port_);
    port_.ClosePort();

    IntfPtr<IBootloader> loader = host_.Loader();
    if (!loader->Connect(-1))
        return Outcome::NoBootloader;

    auto finish = [&] {
        loader->Disconnect();
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
    finish();
    return outcome;
}

} // namespace session
