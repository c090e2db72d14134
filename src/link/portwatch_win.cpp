// Windows lists serial ports under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM and
// changes that key as adapters come and go, so a change notice is the arrival
// and removal notice. The watch is on DEVICEMAP and all below it: a machine
// without any port may not have SERIALCOMM yet. Other changes there (rare)
// only make the list be read again.
#include "portwatch.h"

#include "oshandle_win.h"

namespace {

HKEY AsKey(int value) { return reinterpret_cast<HKEY>(AsHandle(value)); }

// A notice is given once: asked for again after each one.
bool Arm(int key, int event)
{
    return RegNotifyChangeKeyValue(AsKey(key), TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                   AsHandle(event), TRUE) == ERROR_SUCCESS;
}

} // namespace

PortWatch::~PortWatch()
{
    if (key_ != -1)
        RegCloseKey(AsKey(key_));
    if (fd_ != -1)
        CloseHandle(AsHandle(fd_));
}

bool PortWatch::Start(const std::vector<std::string> &)
{
    if (fd_ != -1)
        return true;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP", 0, KEY_NOTIFY, &key) != ERROR_SUCCESS)
        return false;
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        RegCloseKey(key);
        return false;
    }
    key_ = HandleValue(reinterpret_cast<HANDLE>(key));
    fd_ = HandleValue(event);
    if (!Arm(key_, fd_)) {
        RegCloseKey(key);
        CloseHandle(event);
        key_ = fd_ = -1;
        return false;
    }
    return true;
}

bool PortWatch::TakeChanges()
{
    if (fd_ == -1 || WaitForSingleObject(AsHandle(fd_), 0) != WAIT_OBJECT_0)
        return false;
    ResetEvent(AsHandle(fd_));
    Arm(key_, fd_);
    return true;
}
