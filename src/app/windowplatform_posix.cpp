#include "windowplatform.h"

#include "errorhandler.h"
#include "mainthreadsync.h"

#include <QSocketNotifier>

QObject *WatchHandOvers(QObject *parent)
{
    auto *notifier = new QSocketNotifier(MainThreadSync::Instance().WakeFd(), QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent,
                     [] { Guarded([] { MainThreadSync::Instance().CheckSynchronize(); }); });
    return notifier;
}

const char *const StoredPortName = "/dev/ttyS3";
const char *const StoredPortBoxText = "/dev/ttyS0";

void UseStartingConsole() {}
