// Windows wake-up of the user-interface thread: a manual-reset event the
// toolkit's event loop watches.
#include "mainthreadsync.h"

#include "oshandle_win.h"

#include <cstdlib>

MainThreadSync::MainThreadSync() : mainThread_(std::this_thread::get_id())
{
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr)
        std::abort(); // without it no port event could ever reach the UI
    wakeFd_ = HandleValue(event);
}

MainThreadSync::~MainThreadSync()
{
    if (wakeFd_ != -1)
        CloseHandle(AsHandle(wakeFd_));
}

void MainThreadSync::Wake()
{
    SetEvent(AsHandle(wakeFd_));
}

void MainThreadSync::DrainWake()
{
    ResetEvent(AsHandle(wakeFd_));
}

void MainThreadSync::WaitWhileSynchronizing(int fd)
{
    const HANDLE objects[2] = {AsHandle(fd), AsHandle(wakeFd_)};
    for (;;) {
        const DWORD woke = WaitForMultipleObjects(2, objects, FALSE, INFINITE);
        if (woke == WAIT_FAILED)
            return;
        if (WaitForSingleObject(objects[1], 0) == WAIT_OBJECT_0)
            CheckSynchronize();
        if (WaitForSingleObject(objects[0], 0) != WAIT_TIMEOUT)
            return;
    }
}
