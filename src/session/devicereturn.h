#pragma once

#include "exception.h"

#include <string>

class TSerialPort;

namespace session {

// A command refused while the device is away.
class EDeviceGone : public Exception { using Exception::Exception; };

// What an open connection does when its device goes away (the adapter is
// pulled): the port is closed, so its lamps show no device, but the
// connection stays the user's: commands meanwhile are refused with
// EDeviceGone naming the device instead of a write error, and the same
// device name is opened again at 9600 baud as soon as it is back. The user's
// disconnect ends the waiting at any time. Toolkit-free: the front end
// calls TryReopen on a timer (or when the port list changes).
class DeviceReturn {
public:
    explicit DeviceReturn(TSerialPort &port) : port_(port) {}

    // The port reported its device gone: remembers its name, closes it.
    void Lost();
    bool Waiting() const { return waiting_; }
    const std::string &PortName() const { return name_; }

    // While waiting: opens the port again under the lost name at 9600.
    // True when it is open again; false (nothing raised) while the device
    // is still away.
    bool TryReopen();

    // The user disconnects: nothing is waited for any more.
    void Forget() { waiting_ = false; }

    // Raises EDeviceGone while waiting.
    void CheckPresent() const;

    // True while this class itself closes or reopens the port: the front end
    // keeps showing the connection as the user's.
    bool Quiet() const { return quiet_; }

private:
    TSerialPort &port_;
    std::string name_;
    bool waiting_ = false;
    bool quiet_ = false;
};

} // namespace session
