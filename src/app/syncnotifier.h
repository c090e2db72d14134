#pragma once

class QObject;

// Runs the serial port's hand-overs on the UI thread whenever
// MainThreadSync wakes it, through the toolkit's event loop: a socket
// notifier on the eventfd, on Windows an event notifier on the event.
QObject *WatchHandOvers(QObject *parent);
