#include "monitor.h"

#include "decoderprotocol.h"
#include "decodersession.h"
#include "eventwait.h"
#include "serialport.h"
#include "telegram.h"
#include "textout.h"

#include <algorithm>
#include <chrono>
#include <optional>

namespace cli {

namespace {

// A decoder line longer than this is cut: nothing the decoder sends comes near it.
constexpr size_t MaxLineBytes = 4096;
// Waiting for a vanished device: first retry after 100 ms, then twice as
// long each time, never more than 2 s apart.
constexpr auto FirstRetry = std::chrono::milliseconds(100);
constexpr auto LongestRetry = std::chrono::milliseconds(2000);

// What the window's line interpreter made of one line.
class LineRecorder : public decoder::DecoderLineSink {
public:
    void Reset()
    {
        logLine.reset();
        kind = "other";
    }
    void AddLogLine(const std::string &line) override { logLine = line; }
    void SelectLastLogLine() override {}
    void ShowSerialNumber(const std::string &) override { kind = "serial-number"; }
    void ShowFirmwareVersion(const std::string &) override { kind = "firmware-version"; }
    void ShowHardwareRevision(const std::string &) override { kind = "hardware-revision"; }
    void ShowToneTable(const decoder::ToneTable &) override { kind = "tone-table"; }

    std::optional<std::string> logLine;
    const char *kind = "other";
};

std::string JsonRecord(const std::string &time, const LineRecorder &seen, const std::string &line)
{
    const auto telegram = session::ParseTelegram(line);
    std::string out = "{\"time\":\"" + time + "\",\"kind\":\"" + (telegram ? "telegram" : seen.kind) + "\"";
    if (telegram) {
        out += ",\"identifier\":" + JsonString(telegram->identifier);
        out += ",\"status\":" + JsonString(std::string(1, telegram->status));
        out += ",\"tactical_info\":" + JsonString(std::string(1, telegram->tacticalInfo));
        out += ",\"stage\":" + JsonString(std::string(1, telegram->stage));
        out += std::string(",\"direction\":\"") + (telegram->toVehicle ? "FZ<-LS" : "FZ->LS") + "\"";
        out += ",\"text\":" + JsonString(telegram->freeText);
    }
    out += ",\"log\":" + (seen.logLine ? JsonString(*seen.logLine) : std::string("null"));
    out += ",\"raw\":" + JsonString(line) + "}\n";
    return out;
}

} // namespace

int RunMonitor(const MonitorOptions &options, EventWait &wait)
{
    using Clock = EventWait::Clock;
    TSerialPort port;
    session::ConfigureDecoderPort(port);
    port.SetPort(options.port);
    port.SetBaudRate(br9600);

    LineRecorder recorder;
    decoder::DecoderProtocol protocol(recorder);
    std::string partial;
    long printed = 0;
    bool readerGone = false;

    auto handleLine = [&](const std::string &line, std::chrono::system_clock::time_point arrived) {
        recorder.Reset();
        protocol.HandleDecoderLine(line);
        std::string out;
        if (options.json)
            out = JsonRecord(IsoTime(arrived), recorder, line);
        else if (recorder.logLine)
            out = IsoTime(arrived) + " " + Printable(*recorder.logLine) + "\n";
        if (out.empty() || readerGone || (options.count >= 0 && printed >= options.count))
            return;
        readerGone = !WriteOut(out);
        ++printed;
    };
    port.OnRxChar = [&](TCustomSerialPort &, int count) {
        std::string bytes;
        port.ReadString(bytes, count);
        const auto arrived = std::chrono::system_clock::now();
        for (char c : bytes) {
            if (c == decoder::CR) {
                handleLine(partial, arrived);
                partial.clear();
            } else if (partial.size() < MaxLineBytes) {
                partial += c;
            }
        }
    };

    bool gone = false;
    port.OnDeviceLost = [&](TCustomSerialPort &) { gone = true; };

    port.OpenPort();
    const Clock::time_point deadline =
        options.duration >= 0
            ? Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.duration))
            : Clock::time_point::max();
    auto finished = [&] { return readerGone || (options.count >= 0 && printed >= options.count); };

    for (;;) {
        if (wait.Until([&] { return finished() || gone; }, deadline) != EventWait::Result::Done || !gone || finished())
            break;
        PrintError(options.port + ": the device is gone; waiting for it to return");
        try {
            port.ClosePort();
        } catch (const std::exception &) {
            // Nothing is left to close properly on a vanished device.
        }
        partial.clear();
        bool back = false;
        for (auto retry = std::chrono::duration_cast<Clock::duration>(FirstRetry);;
             retry = std::min<Clock::duration>(retry * 2, LongestRetry)) {
            const auto next = std::min(Clock::now() + retry, deadline);
            if (wait.Until(nullptr, next) != EventWait::Result::TimedOut || next == deadline)
                break;
            try {
                gone = false;
                port.OpenPort();
                back = true;
                break;
            } catch (const std::exception &) {
                // Not back yet.
            }
        }
        if (!back)
            break;
        PrintError(options.port + ": the device is back");
    }
    if (port.Connected())
        port.ClosePort();
    return 0;
}

} // namespace cli
