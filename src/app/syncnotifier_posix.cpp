#include "syncnotifier.h"

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
