#include "firmwareupdater.h"

#include "bootloaderhost.h"
#include "decoderreader.h"
#include "decodersession.h"
#include "exception.h"
#include "privatecopy.h"
#include "serialport.h"

#include <chrono>
#include <thread>

namespace session {

// What the decoder sent at 9600 while the line was still at 19200 (its
// first telegram once the new firmware runs) comes in garbled when the
// port is back at 9600; without a line end it would join the decoder's
// next line. Once the line has been quiet for 50 ms (some 50 characters at
// 9600 baud) the unfinished line is dropped.
void FirmwareUpdater::DropStaleInput()
{
    if (!reader_)
        return;
    using Clock = std::chrono::steady_clock;
    constexpr auto Quiet = std::chrono::milliseconds(50);
    const auto end = Clock::now() + std::chrono::seconds(1);
    std::string seen = reader_->Buffer();
    auto quietSince = Clock::now();
    while (Clock::now() < end && Clock::now() - quietSince < Quiet) {
        host_.ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (reader_->Buffer() != seen) {
            seen = reader_->Buffer();
            quietSince = Clock::now();
        }
    }
    reader_->ClearBuffer();
}

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
        port_.SetBaudRate(br9600);
        port_.OpenPort();
        DropStaleInput();
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
