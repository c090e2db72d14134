#pragma once

#include <functional>

class QObject;

// Calls ready on the UI thread, through the toolkit's event loop, whenever
// the descriptor has something (a PortWatch's notices, MainThreadSync's
// wake-up): a socket notifier on Linux, on Windows an event notifier on the
// event the descriptor holds. The notifier is a child of parent.
QObject *NotifyWhenReady(int descriptor, QObject *parent, std::function<void()> ready);
