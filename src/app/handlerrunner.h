#pragma once

#include <functional>

class QWidget;

// Owns how the window's click handlers run: under the default error handler,
// and with a close asked for meanwhile held back until they end. Sequences
// let the event loop run, and a close may arrive then: the handler still
// needs the window and its port, and its error box needs the window.
class HandlerRunner {
public:
    explicit HandlerRunner(QWidget &window) : window_(window) {}

    void Run(const std::function<void()> &handler);
    // True when a handler runs: the window closes once it has ended.
    bool HoldClose();

private:
    QWidget &window_;
    int running_ = 0;
    bool closePending_ = false;
};
