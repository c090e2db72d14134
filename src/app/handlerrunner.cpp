#include "handlerrunner.h"

#include "errorhandler.h"

#include <QWidget>

void HandlerRunner::Run(const std::function<void()> &handler)
{
    ++running_;
    Guarded(handler);
    if (--running_ == 0 && closePending_) {
        closePending_ = false;
        window_.close();
    }
}

bool HandlerRunner::HoldClose()
{
    if (running_ == 0)
        return false;
    closePending_ = true;
    return true;
}
