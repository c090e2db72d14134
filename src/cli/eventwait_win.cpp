// Ctrl+C, Ctrl+Break and closing the console set an event; the wait is
// WaitForMultipleObjects on it and on the hand-over event.
#include "eventwait.h"

#include "mainthreadsync.h"
#include "outqueue.h"
#include "oshandle_win.h"

namespace cli {

namespace {

// Auto-reset: a stop is taken once, so later pauses do not spin on it.
HANDLE stopEvent = nullptr;

// The system ends the process as soon as the handler of a console close
// returns (5 s at the latest): it waits so the program can close its port
// and finish; ending the process ends the wait.
constexpr DWORD CloseGraceMs = 4000;

BOOL WINAPI OnConsoleEvent(DWORD type)
{
    SetEvent(stopEvent);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        Sleep(CloseGraceMs);
    return TRUE;
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

bool EventWait::WaitOnce(int timeoutMs)
{
    MainThreadSync &sync = MainThreadSync::Instance();
    if (output_)
        output_->Flush();
    const HANDLE wake = AsHandle(sync.WakeFd());
    const HANDLE objects[2] = {wake, stopEvent};
    const DWORD woke =
        WaitForMultipleObjects(stopEvent ? 2 : 1, objects, FALSE, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
    if (woke == WAIT_FAILED)
        return false;
    // The lowest signalled object is reported; the other may be set too.
    if (woke == WAIT_OBJECT_0 + 1 || (stopEvent && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0))
        stopped_ = true;
    if (WaitForSingleObject(wake, 0) == WAIT_OBJECT_0)
        sync.CheckSynchronize();
    return true;
}

} // namespace cli
