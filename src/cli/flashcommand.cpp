#include "flashcommand.h"

#include "bootloaderhost.h"
#include "console.h"
#include "bootloaderlibrary.h"
#include "decodercommands.h"
#include "decodersession.h"
#include "eventwait.h"
#include "exitcodes.h"
#include "fileio.h"
#include "firmwarecontainer.h"
#include "firmwareupdater.h"
#include "httpclient.h"
#include "serialerror.h"
#include "serialport.h"
#include "systemnames.h"
#include "textout.h"
#include "updateservice.h"
#include "updateserver.h"

#include <filesystem>

namespace cli {

namespace {

// One status line with a bar, redrawn in place on a terminal; plain lines
// for a pipe or a file.
class ProgressDisplay {
public:
    explicit ProgressDisplay(bool terminal) : terminal_(terminal) {}

    bool Terminal() const { return terminal_; }

    // A line that stays (a log line of the run).
    void Line(const std::string &text)
    {
        if (terminal_)
            WriteOut("\r\033[K" + Printable(text) + "\n" + Bar());
        else
            WriteOut(Printable(text) + "\n");
    }
    void Status(const std::string &text)
    {
        status_ = text;
        if (terminal_)
            WriteOut("\r\033[K" + Bar());
    }
    void Percent(int percent)
    {
        if (percent == percent_)
            return;
        percent_ = percent;
        if (terminal_)
            WriteOut("\r\033[K" + Bar());
    }
    void Finish()
    {
        if (terminal_)
            WriteOut("\r\033[K");
    }

private:
    std::string Bar() const
    {
        constexpr int Width = 30;
        const int filled = percent_ < 0 ? 0 : percent_ * Width / 100;
        std::string bar = "[" + std::string(filled, '#') + std::string(Width - filled, '.') + "] ";
        std::string text = Printable(status_);
        // The library's progress lines carry their own percentage: one is enough.
        const bool own = text.find('%') != std::string::npos;
        bar += percent_ < 0 || own ? std::string("    ") : std::to_string(percent_) + " %";
        if (text.size() > 60) {
            size_t cut = 60;
            while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
                --cut;
            text.resize(cut);
        }
        return bar + "  " + text;
    }

    bool terminal_;
    int percent_ = -1;
    std::string status_;
};

class CommandLineHost : public BootloaderHost {
public:
    CommandLineHost(std::string port, EventWait &wait, ProgressDisplay &display)
        : port_(std::move(port)), wait_(wait), display_(display)
    {
    }

    int32_t ProcessMessages() override
    {
        wait_.RunPending();
        if (LastSeenState() == kStateWorking && Loader())
            display_.Percent(Loader()->GetProgress());
        return 0;
    }
    void Output(const char16_t *text, int32_t) override
    {
        const std::string line = Utf8FromWide(text);
        // On a terminal the bar shows the progress: a line that reports new
        // progress only updates it instead of scrolling.
        bool progressOnly = false;
        if (display_.Terminal() && LastSeenState() == kStateWorking && Loader()) {
            const int progress = Loader()->GetProgress();
            progressOnly = progress != lastProgress_;
            lastProgress_ = progress;
            display_.Percent(progress);
        }
        display_.Status(line);
        if (!progressOnly)
            display_.Line(line);
    }
    WideString GetPassword() override
    {
        WriteErr("Password required\nPassword: ");
        return WideFromUtf8(ReadAnswer(true));
    }
    void ShowStatus(const std::string &text) override
    {
        display_.Finish();
        display_.Line(text);
    }
    void ReportProgramFailure(const std::string &message) override { failure = message; }

    std::string failure;

    // One line from stdin without its line end; empty at the end of input.
    static std::string ReadAnswer(bool hidden = false)
    {
        std::string line = ReadInputLine(256, hidden);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        return line;
    }

protected:
    std::string ConnectionPortName() override { return port_; }
    void ShowConnectionReport(const std::vector<std::string> &lines) override
    {
        for (const std::string &line : lines)
            display_.Line(line);
    }
    void ShowBootloaderState(uint8_t state) override
    {
        if (state == kStateWorking) {
            lastProgress_ = Loader() ? Loader()->GetProgress() : -1;
            display_.Status("Working..");
        }
    }

private:
    int lastProgress_ = -1;
    std::string port_;
    EventWait &wait_;
    ProgressDisplay &display_;
};

bool Confirmed(const std::string &question)
{
    WriteErr(question + " [y/N] ");
    const std::string answer = CommandLineHost::ReadAnswer();
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "j" || answer == "ja";
}

// Names what is on offer, then the questions: unsigned and downgrade are
// refused unless allowed, and then always asked, --yes or not.
bool AskAboutOffer(const session::FirmwareOffer &offer, const FlashOptions &options)
{
    const std::string name = std::string(session::UpdateService::FirmwareResource).substr(1);
    WriteErr("Firmware image: target " + Printable(offer.image.target) + ", version " + Printable(offer.image.version)
             + (offer.download.isSigned ? ", signed with key " + offer.download.keyId : ", NOT SIGNED") + "\n"
             + "Decoder on " + options.port + ": version "
             + (offer.decoderVersion.empty() ? std::string("not read") : Printable(offer.decoderVersion)) + "\n");
    if (!offer.download.isSigned) {
        if (!options.allowUnsigned) {
            PrintError(name + " has no signature on the server; --allow-unsigned writes it after a question");
            return false;
        }
        if (!Confirmed("The image is not signed: nobody vouches for it. Write it anyway?")) {
            PrintError("the firmware update was refused");
            return false;
        }
    }
    if (offer.downgrade) {
        if (!options.allowDowngrade) {
            PrintError("the image's version " + Printable(offer.image.version) + " is older than the decoder's "
                       + Printable(offer.decoderVersion) + "; --allow-downgrade writes it after a question");
            return false;
        }
        if (!Confirmed("Go back from version " + Printable(offer.decoderVersion) + " to the older "
                       + Printable(offer.image.version) + "?")) {
            PrintError("the firmware update was refused");
            return false;
        }
    }
    if (!options.yes && !Confirmed("Write the image into the decoder on " + options.port + "?")) {
        PrintError("the firmware update was refused");
        return false;
    }
    return true;
}

} // namespace

int RunFlash(const FlashOptions &options, EventWait &wait)
{
    ProgressDisplay display(OutputIsTerminal());
    CommandLineHost host(options.port, wait, display);
    try {
        host.SetLoader(BootloaderLibrary::Default().OpenBootloader(&host));
    } catch (const std::exception &e) {
        PrintFailure(e);
        return ExitFlashFailed;
    }

    THttpClient http;
    session::UpdateService updates(http);
    if (!options.server.empty())
        updates.SetServer(options.server);
    const std::string source = options.image.empty() ? UpdateServerBase(options.server) : options.image;

    std::string image;
    if (!options.image.empty()) {
        if (!options.yes && !Confirmed("Write the firmware from " + source + " into the decoder on " + options.port + "?")) {
            PrintError("the firmware update was refused");
            return ExitFlashFailed;
        }
        try {
            image = LoadFileBytes(options.image, kFirmwareFileLimit);
        } catch (const std::exception &e) {
            PrintFailure(e);
            return ExitLocalFile;
        }
        // The container is checked before the decoder is reset, as the window
        // does; the library checks the target against the decoder before erasing.
        try {
            const FirmwareImage parsed = ParseFirmwareContainer(image);
            display.Line("Firmware file: " + parsed.target + ", version " + parsed.version);
        } catch (const std::exception &e) {
            PrintFailure(e);
            return ExitFlashFailed;
        }
    } else {
        // Its version bounds what may be written without a downgrade.
        const std::optional<std::string> decoderVersion = DecoderFirmware(options.port, wait);
        if (!decoderVersion)
            return ExitDecoderError;
        // The window's progress texts for the transfer.
        int32_t expected = 0;
        http.OnWorkBegin = [&](THttpClient *, TWorkMode, int32_t max) {
            expected = max;
            if (max > 0)
                display.Status("Transfering: " + std::to_string(max));
        };
        http.OnWork = [&](THttpClient *, TWorkMode, int32_t count) {
            if (expected > 0) {
                display.Percent(static_cast<int>(int64_t{count} * 100 / expected));
                display.Status(std::to_string(count) + " bytes of " + std::to_string(expected) + " bytes.");
            } else {
                display.Status(std::to_string(count) + " bytes.");
            }
        };
        http.OnWorkEnd = [&](THttpClient *, TWorkMode) { display.Status("Ready..."); };
        session::FirmwareOffer offer;
        try {
            display.Line("Downloading the firmware from " + source);
            offer = updates.FetchFirmwareOffer(*decoderVersion);
        } catch (const session::EUpdateRefused &e) {
            display.Finish();
            PrintFailure(e);
            return ExitFlashFailed;
        } catch (const EFirmwareFile &e) {
            display.Finish();
            PrintFailure(e);
            return ExitFlashFailed;
        } catch (const std::exception &e) {
            display.Finish();
            PrintFailure(e);
            return ExitServerError;
        }
        display.Finish();
        if (!AskAboutOffer(offer, options))
            return ExitFlashFailed;
        image = std::move(offer.download.bytes);
        try {
            const std::string folder = options.saveDir.empty() ? DownloadFolder() : options.saveDir;
            if (!folder.empty())
                std::filesystem::create_directories(folder);
            display.Line("Firmware saved as " + updates.SaveFirmware(image, folder));
        } catch (const std::exception &e) {
            PrintFailure(e);
            return ExitLocalFile;
        }
    }

    TSerialPort port;
    session::ConfigureDecoderPort(port);
    port.SetPort(options.port);
    session::FirmwareUpdater::Outcome outcome;
    try {
        outcome = session::FirmwareUpdater(port, host).Flash(image);
    } catch (const ESerialPort &e) {
        display.Finish();
        PrintFailure(e);
        return ExitDecoderError;
    } catch (const std::exception &e) {
        display.Finish();
        PrintFailure(e);
        return ExitFlashFailed;
    }
    display.Finish();
    switch (outcome) {
    case session::FirmwareUpdater::Outcome::Flashed:
        return ExitOk;
    case session::FirmwareUpdater::Outcome::NoBootloader:
        PrintError(Utf8FromWide(host.Loader()->GetLastMessage()));
        return ExitFlashFailed;
    case session::FirmwareUpdater::Outcome::ProgramFailed:
        PrintError(host.failure);
        return ExitFlashFailed;
    }
    return ExitFlashFailed;
}

} // namespace cli
