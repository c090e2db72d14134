#include "windowplatform.h"

#include "errorhandler.h"
#include "mainthreadsync.h"
#include "oshandle_win.h"

#include <QWinEventNotifier>

QObject *WatchHandOvers(QObject *parent)
{
    auto *notifier = new QWinEventNotifier(AsHandle(MainThreadSync::Instance().WakeFd()), parent);
    QObject::connect(notifier, &QWinEventNotifier::activated, parent,
                     [] { Guarded([] { MainThreadSync::Instance().CheckSynchronize(); }); });
    return notifier;
}

const char *const StoredPortName = "COM4";
const char *const StoredPortBoxText = "COM1";
