#include "watchnotifier.h"

#include <QSocketNotifier>

QObject *NotifyWhenReady(int descriptor, QObject *parent, std::function<void()> ready)
{
    auto *notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, std::move(ready));
    return notifier;
}
