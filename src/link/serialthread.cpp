#include "serialthread.h"

void TSerialThread::Start(Deliver deliver)
{
    deliver_ = std::move(deliver);
    // The running thread keeps its own reference, so a detached thread can
    // finish after the port has let go of it.
    auto self = shared_from_this();
    thread_ = std::thread([self] { self->Run(); });
}

void TSerialThread::Detach()
{
    if (thread_.joinable())
        thread_.detach();
}

void TSerialThread::EndThread()
{
    if (!thread_.joinable())
        return;
    // A thread that ends its own port (closed from inside a delivery) cannot
    // wait for itself: it finishes on its own reference.
    if (IsCurrentThread())
        thread_.detach();
    else {
        RequestStop();
        thread_.join();
    }
}
