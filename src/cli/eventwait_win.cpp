// Ctrl+C, Ctrl+Break and closing the console set an event; the wait is
// WaitForMultipleObjects on it and on the hand-over event. A COM handle
// offers nothing to wait on for a hang-up, so a watched port is asked
// whether it is still there at each wake-up and twice a second.
#include "eventwait.h"

#include "mainthreadsync.h"
#include "oshandle_win.h"

namespace cli {

namespace {

// Auto-reset: a stop is taken once, so later pauses do not spin on it.
HANDLE stopEvent = nullptr;

// The system ends the process as soon as the handler of a console close
// returns (5 s at the latest): it waits so the program can close its port
// and finish; ending the process ends the wait.
constexpr DWORD CloseGraceMs = 4000;

constexpr int DeviceCheckMs = 500;

BOOL WINAPI OnConsoleEvent(DWORD type)
{
    SetEvent(stopEvent);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        Sleep(CloseGraceMs);
    return TRUE;
}

// An adapter that was pulled fails every request on its handle.
bool DeviceGone(HANDLE device)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return !GetCommState(device, &dcb);
}

} // namespace

EventWait::EventWait()
{
    if (stopEvent == nullptr)
        stopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

EventWait::~EventWait()
{
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

EventWait::Woke EventWait::WaitOnce(int timeoutMs, int watchFd)
{
    MainThreadSync &sync = MainThreadSync::Instance();
    if (watchFd >= 0 && (timeoutMs < 0 || timeoutMs > DeviceCheckMs))
        timeoutMs = DeviceCheckMs;
    const HANDLE wake = AsHandle(sync.WakeFd());
    const HANDLE objects[2] = {wake, stopEvent};
    const DWORD woke =
        WaitForMultipleObjects(stopEvent ? 2 : 1, objects, FALSE, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
    if (woke == WAIT_FAILED)
        return Woke::Failed;
    // The lowest signalled object is reported; the other may be set too.
    if (woke == WAIT_OBJECT_0 + 1 || (stopEvent && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0))
        stopped_ = true;
    if (WaitForSingleObject(wake, 0) == WAIT_OBJECT_0)
        sync.CheckSynchronize();
    if (watchFd >= 0 && DeviceGone(AsHandle(watchFd)))
        return Woke::HungUp;
    return Woke::Events;
}

} // namespace cli
