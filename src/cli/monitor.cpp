#include "monitor.h"

#include "decodersession.h"
#include "eventwait.h"
#include "exitcodes.h"
#include "linerecord.h"
#include "monitorstation.h"
#include "outqueue.h"
#include "serialerror.h"
#include "serialport.h"
#include "textout.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace cli {

namespace {

// Waiting for a vanished device: first retry after 100 ms, then twice as
// long each time, never more than 2 s apart.
constexpr auto FirstRetry = std::chrono::milliseconds(100);
constexpr auto LongestRetry = std::chrono::milliseconds(2000);

// The system's "no such file" code, the same number on both systems: a
// device not plugged in yet is waited for like one that went away.
bool NotThereYet(const ESerialPort &failure)
{
    return failure.LibraryCode() == static_cast<int>(SerialError::OpenFailed) && failure.SystemErrorCode() == 2;
}

} // namespace

int RunMonitor(const MonitorOptions &options, EventWait &wait)
{
    using Clock = EventWait::Clock;
    TSerialPort port;
    session::ConfigureDecoderPort(port);
    port.SetPort(options.port);
    port.SetBaudRate(br9600);
    // Set up before the port opens, so a wrong address or name is refused at once.
    std::unique_ptr<MonitorStation> station;
    if (options.station)
        station = std::make_unique<MonitorStation>(*options.station, options.port);

    OutQueue out;
    EventWait::OutputScope writing(wait, out);

    long printed = 0;
    std::chrono::system_clock::time_point arrived;

    auto handleLine = [&](const decoder::DecoderLine &line) {
        if (station)
            station->Take(line, JsonRecord(IsoTime(arrived), line));
        if (out.ReaderGone() || (options.count >= 0 && printed >= options.count))
            return;
        const std::string time = IsoTime(arrived);
        std::string text = options.json ? JsonRecord(time, line) : TextRecord(time, line);
        if (text.empty())
            return;
        out.Add(std::move(text));
        ++printed;
    };
    // Stderr keeps its words; --json also has the event, in order with the lines.
    auto deviceEvent = [&](const char *kind, const std::string &words) {
        PrintError(options.port + words);
        if (options.json)
            out.Add("{\"time\":\"" + IsoTime(std::chrono::system_clock::now()) + "\",\"kind\":\"" + kind +
                    "\",\"port\":" + JsonString(options.port) + "}\n");
    };
    session::DecoderSession session(port, handleLine, nullptr);
    port.OnRxChar = [&](TCustomSerialPort &, int count) {
        arrived = std::chrono::system_clock::now();
        session.Receive(count);
    };

    bool gone = false;
    port.OnDeviceLost = [&](TCustomSerialPort &) { gone = true; };

    // The device message is made of the decoder's replies to these. A device
    // (or the link to its server) that goes away meanwhile is waited for.
    auto askDevice = [&] {
        if (!station)
            return;
        station->DeviceOpened();
        try {
            for (const char *code : MonitorStation::DeviceQueries) {
                port.WriteString(decoder::BuildCommand(code));
                wait.Pause(session::DecoderSession::CommandPauseMs);
            }
        } catch (const ESerialPort &) {
            gone = true;
        }
    };

    try {
        port.OpenPort();
        askDevice();
    } catch (const ESerialPort &failure) {
        if (!NotThereYet(failure))
            throw;
        gone = true;
    }
    const Clock::time_point deadline =
        options.duration >= 0
            ? Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.duration))
            : Clock::time_point::max();
    auto finished = [&] { return out.ReaderGone() || (options.count >= 0 && printed >= options.count); };

    for (;;) {
        if (wait.Until([&] { return finished() || gone; }, deadline) != EventWait::Result::Done || !gone || finished())
            break;
        deviceEvent("device-lost", ": the device is gone; waiting for it to return");
        if (station)
            station->DeviceLost();
        try {
            port.ClosePort();
        } catch (const std::exception &) {
            // Nothing is left to close properly on a vanished device.
        }
        session.Reader().ClearBuffer();
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
        deviceEvent("device-back", ": the device is back");
        askDevice();
    }
    if (port.Connected())
        port.ClosePort();
    return wait.FinishOutput(out) ? ExitOk : ExitOutput;
}

} // namespace cli
