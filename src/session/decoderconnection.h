#pragma once

#include "decoderreader.h"
#include "decodersession.h"
#include "devicereturn.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

class TSerialPort;

namespace session {

// The window's connection to the decoder without the window: the serial
// port with its stored settings, the decoder session on it, the hand-over
// of port events to this thread, the connection toggle's rule and the
// values the decoder last reported. A front end says what it shows through
// the handlers and turns its clicks into the calls below.
class DecoderConnection {
public:
    struct Handlers {
        std::function<void()> afterOpen;
        std::function<void()> afterClose;
        // The device went away: the port is closed (its lamps dark) but the
        // connection stays the user's until the toggle ends it; commands
        // meanwhile raise EDeviceGone. RetryLostDevice reopens it.
        std::function<void()> deviceLost;
        // The same device is back and open again at 9600 baud.
        std::function<void()> deviceReturned;
        // Every decoder line, after the values below have taken it in.
        std::function<void(const decoder::DecoderLine &)> line;
    };

    // storedPortName: the name the port carries until the first connect.
    // Port events are handed over to the thread that constructs this.
    DecoderConnection(const std::string &storedPortName, Handlers handlers, PauseHook pause);
    ~DecoderConnection();

    TSerialPort &Port() { return *port_; }
    DecoderSession &Session() { return *session_; }
    decoder::DecoderReader &Reader() { return session_->Reader(); }

    // The connection toggle: takes the chosen name (an open port reopens
    // under a new one, as the port does), then closes an open port or opens
    // a closed one at 9600 baud.
    void Toggle(const std::string &portName);

    // While the device is away: tries to reopen it (call on a timer); true
    // once it is open again.
    bool RetryLostDevice();
    bool WaitingForDevice() const { return deviceReturn_->Waiting(); }

    // Runs the port events waiting for this thread; the front end calls it
    // when WakeFd() is signalled.
    int WakeFd() const;
    void DeliverHandOvers();

    // What the decoder last reported; empty until it has.
    const std::optional<std::string> &SerialNumber() const { return serialNumber_; }
    const std::optional<std::string> &FirmwareVersion() const { return firmwareVersion_; }
    const std::optional<std::string> &HardwareRevision() const { return hardwareRevision_; }
    // New firmware went in: the version read before is no longer the decoder's.
    void ForgetFirmwareVersion() { firmwareVersion_.reset(); }

private:
    void TakeLine(const decoder::DecoderLine &line);

    Handlers handlers_;
    std::unique_ptr<TSerialPort> port_;
    std::unique_ptr<DecoderSession> session_;
    std::unique_ptr<DeviceReturn> deviceReturn_;
    std::optional<std::string> serialNumber_, firmwareVersion_, hardwareRevision_;
};

} // namespace session
