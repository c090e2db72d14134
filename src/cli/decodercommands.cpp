#include "decodercommands.h"

#include "decodersession.h"
#include "eventwait.h"
#include "framecodec.h"
#include "exitcodes.h"
#include "httpclient.h"
#include "karvenzop_config.h"
#include "portdescription.h"
#include "portlist.h"
#include "serialport.h"
#include "textout.h"
#include "updateservice.h"
#include "versionorder.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>

namespace cli {

namespace {

// How long the replies may take after a sequence: far more than a decoder
// at 9600 baud needs, short enough not to keep a script waiting.
constexpr auto ReplyWait = std::chrono::seconds(3);
// Replies still coming when a command is done are read before the port
// closes: left in the line they would reach the next program that opens it
// (a pseudo-terminal under wine keeps them). The line counts as done once
// quiet for a while, at 9600 baud far longer than the gap inside a reply.
constexpr auto QuietGap = std::chrono::milliseconds(100);
constexpr auto LongestTail = std::chrono::seconds(1);

// The replies of the decoder as the window would show them.
struct Replies {
    // The value and the log line the window writes for it.
    struct Reply {
        std::string value;
        std::string logLine;
    };
    std::optional<Reply> serial, firmware, hardware;
    std::optional<decoder::ToneTable> tones;

    void Take(const decoder::DecoderLine &line)
    {
        using decoder::LineKind;
        switch (line.kind) {
        case LineKind::SerialNumber: serial = Reply{line.value, *line.logText}; break;
        case LineKind::FirmwareVersion: firmware = Reply{line.value, *line.logText}; break;
        case LineKind::HardwareRevision: hardware = Reply{line.value, *line.logText}; break;
        case LineKind::ToneTable: tones = line.tones; break;
        default: break;
        }
    }
};

// A port set up as the window's, opened at 9600 with its events going to the session.
struct DecoderLink {
    explicit DecoderLink(EventWait &wait)
        : session(port, [this](const decoder::DecoderLine &line) { replies.Take(line); },
                  [&wait](int ms) { wait.Pause(ms); })
    {
        session::ConfigureDecoderPort(port);
        port.OnRxChar = [this](TCustomSerialPort &, int count) {
            lastReceived = EventWait::Clock::now();
            session.Receive(count);
        };
    }
    void TakeRemainingReplies(EventWait &wait) const
    {
        const auto end = EventWait::Clock::now() + LongestTail;
        for (;;) {
            const auto quiet = std::min(lastReceived + QuietGap, end);
            if (quiet <= EventWait::Clock::now() || wait.Until(nullptr, quiet) == EventWait::Result::Stopped)
                return;
        }
    }
    ~DecoderLink()
    {
        try {
            if (port.Connected())
                port.ClosePort();
        } catch (const std::exception &) {
            // Closing is best effort once the command is done.
        }
    }
    TSerialPort port;
    Replies replies;
    session::DecoderSession session;
    EventWait::Clock::time_point lastReceived = EventWait::Clock::now();
};

// Runs a decoder command; a port or decoder failure becomes exit code 1.
template <class Body>
int WithDecoder(EventWait &wait, Body body)
{
    try {
        DecoderLink link(wait);
        const int code = body(link);
        if (link.port.Connected())
            link.TakeRemainingReplies(wait);
        return code;
    } catch (const std::exception &e) {
        PrintFailure(e);
        return ExitDecoderError;
    }
}

// A decoder that does not answer may sit in its bootloader after an
// interrupted update: that listens at 19200 baud and answers the boot sign
// with its handshake. A bootloader that still holds valid firmware (a
// decoder caught in its boot window) is told to start it again. A decoder
// running its firmware got the sign garbled at 9600 and keeps it in its
// line buffer, where it would spoil the next command: a line end at 9600
// closes that line, which the decoder drops. The port is left open at 9600
// with its own handler.
bool StuckInBootloader(TSerialPort &port, EventWait &wait)
{
    FrameDecoder frames;
    std::optional<Frame> hello;
    const auto decoderHandler = port.OnRxChar;
    bool stuck = false;
    try {
        port.ClosePort();
        port.SetBaudRate(br19200);
        port.OnRxChar = [&](TCustomSerialPort &p, int count) {
            std::string bytes;
            p.ReadString(bytes, count);
            frames.Feed(bytes);
            for (Frame frame; frames.Next(frame) != DecodeResult::NeedMore;)
                if (frame.type == frametype::Hello && !hello)
                    hello = frame;
        };
        port.OpenPort();
        port.WriteString("norVEX");
        wait.Until([&] { return hello.has_value(); }, EventWait::Clock::now() + std::chrono::milliseconds(800));
        // Handshake: version (1), device (2), bootloader version (2), flags (1), status (1; bit 1 valid firmware).
        const bool valid = hello && hello->payload.size() > 6 && (static_cast<uint8_t>(hello->payload[6]) & 2);
        if (valid)
            port.WriteString(EncodeFrame(frametype::Leave, 1, {}));
        wait.Pause(50);
        port.ClosePort();
        stuck = hello && !valid;
        port.OnRxChar = decoderHandler;
        port.SetBaudRate(br9600);
        port.OpenPort();
        if (!hello)
            port.WriteString("\n\r");
    } catch (const std::exception &) {
        port.OnRxChar = decoderHandler;
    }
    return stuck;
}

// Asks and waits for the answers. A decoder silent throughout is probed for
// its bootloader (`stuck`); one that is not there may have been starting
// after a reset when asked, and is asked once more.
EventWait::Result AskDecoder(DecoderLink &link, EventWait &wait, const std::function<void()> &ask,
                             const std::function<bool()> &answered, const std::function<bool()> &anyAnswer,
                             bool &stuck)
{
    ask();
    auto result = wait.Until(answered, EventWait::Clock::now() + ReplyWait);
    if (result != EventWait::Result::TimedOut || anyAnswer())
        return result;
    stuck = StuckInBootloader(link.port, wait);
    if (stuck || !link.port.Connected())
        return result;
    ask();
    return wait.Until(answered, EventWait::Clock::now() + ReplyWait);
}

const char *const DigitNames[decoder::ToneDigits] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "0", "R"};

} // namespace

int RunInfo(const std::string &port, bool json, EventWait &wait)
{
    return WithDecoder(wait, [&](DecoderLink &link) {
        link.session.Open(port);
        const Replies &got = link.replies;
        bool stuck = false;
        const auto result = AskDecoder(
            link, wait, [&] { link.session.ReadAllValues(); },
            [&] { return got.serial && got.firmware && got.hardware; },
            [&] { return got.serial || got.firmware || got.hardware; }, stuck);
        if (stuck) {
            PrintError("the decoder on " + port +
                       " is waiting in its bootloader (a firmware update did not complete): "
                       "write the firmware again with 'karvenzop-cli flash'");
            return int(ExitDecoderError);
        }
        if (result != EventWait::Result::Done) {
            PrintError(result == EventWait::Result::Stopped ? std::string("interrupted")
                                                            : "no complete answer from the decoder on " + port);
            return int(ExitDecoderError);
        }
        std::string out;
        if (json) {
            out = "{\"serial_number\":" + JsonString(got.serial->value) + ",\"firmware_version\":" +
                  JsonString(got.firmware->value) + ",\"hardware_revision\":" + JsonString(got.hardware->value) +
                  "}\n";
        } else {
            for (const auto *reply : {&got.serial, &got.firmware, &got.hardware})
                out += Printable((*reply)->logLine) + "\n";
        }
        WriteOut(out);
        return int(ExitOk);
    });
}

int RunClock(const std::string &port, bool json, EventWait &wait)
{
    return WithDecoder(wait, [&](DecoderLink &link) {
        link.session.Open(port);
        const auto now = std::chrono::system_clock::now();
        link.session.SetClock(std::chrono::system_clock::to_time_t(now));
        const std::string set = IsoTime(std::chrono::floor<std::chrono::seconds>(now));
        WriteOut(json ? "{\"port\":" + JsonString(port) + ",\"clock_set\":\"" + set + "\"}\n"
                      : "Clock set to " + set + "\n");
        return int(ExitOk);
    });
}

int RunReset(const std::string &port, bool json, EventWait &wait)
{
    return WithDecoder(wait, [&](DecoderLink &link) {
        link.port.SetPort(port);
        link.session.Reset();
        WriteOut(json ? "{\"port\":" + JsonString(port) + ",\"reset_sent\":true}\n" : std::string("Reset sent\n"));
        return int(ExitOk);
    });
}

int RunTones(const std::string &port, bool json, EventWait &wait)
{
    return WithDecoder(wait, [&](DecoderLink &link) {
        link.session.Open(port);
        link.session.RequestToneTable();
        const auto result =
            wait.Until([&] { return link.replies.tones.has_value(); }, EventWait::Clock::now() + ReplyWait);
        if (result != EventWait::Result::Done) {
            PrintError(result == EventWait::Result::Stopped ? std::string("interrupted")
                                                            : "no tone table from the decoder on " + port);
            return int(ExitDecoderError);
        }
        std::string out = json ? "{" : "";
        for (int i = 0; i < decoder::ToneDigits; ++i) {
            const std::string &hz = (*link.replies.tones)[i];
            if (json)
                out += std::string(i ? "," : "") + "\"" + DigitNames[i] + "\":" + JsonString(hz);
            else
                out += std::string("Ziffer ") + DigitNames[i] + ": " + Printable(hz) + " Hz\n";
        }
        WriteOut(json ? out + "}\n" : out);
        return int(ExitOk);
    });
}

int RunPorts(bool json)
{
    try {
        std::string out;
        for (const std::string &port : EnumeratePorts()) {
            const std::string description = PortDescription(port);
            if (json)
                out += "{\"port\":" + JsonString(port) + ",\"description\":" + JsonString(description) + "}\n";
            else
                out += Printable(port) + (description.empty() ? "" : "\t" + Printable(description)) + "\n";
        }
        WriteOut(out);
        return ExitOk;
    } catch (const std::exception &e) {
        PrintFailure(e);
        return ExitDecoderError;
    }
}

std::optional<std::string> DecoderFirmware(const std::string &port, EventWait &wait, bool *inBootloader)
{
    std::optional<std::string> version;
    const int code = WithDecoder(wait, [&](DecoderLink &link) {
        link.session.Open(port);
        const Replies &got = link.replies;
        bool stuck = false;
        const auto result = AskDecoder(
            link, wait, [&] { link.session.ReadAllValues(); }, [&] { return got.firmware.has_value(); },
            [&] { return got.serial || got.firmware || got.hardware; }, stuck);
        if (stuck && inBootloader) {
            *inBootloader = true;
            return int(ExitDecoderError);
        }
        if (result != EventWait::Result::Done) {
            PrintError(result == EventWait::Result::Stopped ? std::string("interrupted")
                                                            : "no firmware version from the decoder on " + port);
            return int(ExitDecoderError);
        }
        version = link.replies.firmware->value;
        return int(ExitOk);
    });
    return code == ExitOk ? version : std::nullopt;
}

namespace {

// Whether the server's version is newer; nothing when a text is no version.
std::optional<bool> Newer(const std::string &onServer, const std::string &here, std::string &problem)
{
    const session::VersionOrder order = session::CompareVersions(onServer, here);
    if (order == session::VersionOrder::Unordered) {
        problem = "cannot compare versions: '" + (session::IsVersion(onServer) ? here : onServer)
            + "' is not a version number";
        return std::nullopt;
    }
    return order == session::VersionOrder::Newer;
}

} // namespace

int RunCheck(const CheckOptions &options, EventWait &wait)
{
    std::optional<std::string> firmwareHere;
    if (!options.port.empty()) {
        firmwareHere = DecoderFirmware(options.port, wait);
        if (!firmwareHere)
            return ExitDecoderError;
    }
    std::string tool, firmware;
    try {
        THttpClient http;
        session::UpdateService updates(http);
        updates.SetServer(options.server);
        tool = updates.ProgramVersion();
        firmware = updates.FirmwareVersion();
    } catch (const std::exception &e) {
        PrintFailure(e);
        return ExitServerError;
    }
    std::string problem;
    const std::optional<bool> newerTool = Newer(tool, KZ_VERSION, problem);
    std::optional<bool> newerFirmware = false;
    if (firmwareHere)
        newerFirmware = Newer(firmware, *firmwareHere, problem);
    std::string out;
    if (options.json) {
        out = "{\"tool_on_server\":" + JsonString(tool) + ",\"tool_here\":\"" KZ_VERSION
              "\",\"firmware_on_server\":" + JsonString(firmware);
        if (firmwareHere)
            out += ",\"firmware_here\":" + JsonString(*firmwareHere);
        if (problem.empty())
            out += std::string(",\"tool_newer\":") + (*newerTool ? "true" : "false") +
                   (firmwareHere ? std::string(",\"firmware_newer\":") + (*newerFirmware ? "true" : "false") : "");
        out += "}\n";
    } else {
        // The replies are shown as sent, apart from a final line break.
        auto shown = [](std::string text) {
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
            return Printable(text);
        };
        out = "Tool on the server: " + shown(tool) + "\nTool here: " KZ_VERSION
              "\nDecoder firmware on the server: " + shown(firmware) + "\n";
        if (firmwareHere)
            out += "Decoder firmware here: " + shown(*firmwareHere) + "\n";
        if (problem.empty() && (*newerTool || *newerFirmware))
            out += std::string("Newer on the server:") + (*newerTool ? " tool" : "") +
                   (*newerFirmware ? " decoder-firmware" : "") + "\n";
    }
    WriteOut(out);
    if (!problem.empty()) {
        PrintError(problem);
        return ExitServerError;
    }
    // As package managers' update checks: 100 says there is something to install.
    return *newerTool || *newerFirmware ? ExitUpdateAvailable : ExitOk;
}

} // namespace cli
