#include "watchnotifier.h"

#include "oshandle_win.h"

#include <QWinEventNotifier>

QObject *NotifyWhenReady(int descriptor, QObject *parent, std::function<void()> ready)
{
    auto *notifier = new QWinEventNotifier(AsHandle(descriptor), parent);
    QObject::connect(notifier, &QWinEventNotifier::activated, parent, std::move(ready));
    return notifier;
}
