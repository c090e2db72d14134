#include "devicereturn.h"

#include "serialport.h"

namespace session {

namespace {

// Marks a stretch in which the port's open and close handlers see our own steps.
struct QuietStretch {
    explicit QuietStretch(bool &flag) : flag_(flag) { flag_ = true; }
    ~QuietStretch() { flag_ = false; }
    bool &flag_;
};

} // namespace

void DeviceReturn::Lost()
{
    if (!port_.Connected())
        return;
    name_ = port_.Port();
    waiting_ = true;
    QuietStretch quiet(quiet_);
    try {
        port_.ClosePort();
    } catch (const std::exception &) {
        // The device is gone; what closing its handle says does not matter.
    }
}

bool DeviceReturn::TryReopen()
{
    if (!waiting_ || port_.Connected())
        return false;
    QuietStretch quiet(quiet_);
    try {
        port_.SetPort(name_);
        port_.SetBaudRate(br9600);
        port_.OpenPort();
    } catch (const std::exception &) {
        return false;   // still away (or not ready yet): tried again later
    }
    waiting_ = false;
    return true;
}

void DeviceReturn::CheckPresent() const
{
    if (waiting_)
        throw EDeviceGone("Das Gerät " + name_ +
                          " ist nicht angeschlossen. Die Verbindung wird wiederhergestellt, sobald es zurück ist.");
}

} // namespace session
