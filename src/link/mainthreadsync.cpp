#include "mainthreadsync.h"

#include "errorhandler.h"

#include <algorithm>

MainThreadSync &MainThreadSync::Instance()
{
    static MainThreadSync instance;
    return instance;
}

void MainThreadSync::SetMainThread(std::thread::id id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    mainThread_ = id;
}

bool MainThreadSync::IsMainThread() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::this_thread::get_id() == mainThread_;
}

void MainThreadSync::Synchronize(std::function<void()> fn)
{
    if (IsMainThread()) {
        fn();
        return;
    }
    auto request = std::make_shared<Request>();
    request->fn = std::move(fn);
    request->synchronous = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(request);
    }
    Wake();
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&] { return request->done; });
    if (request->error)
        std::rethrow_exception(request->error);
}

void MainThreadSync::Post(const void *owner, std::function<void()> fn)
{
    auto request = std::make_shared<Request>();
    request->fn = std::move(fn);
    request->owner = owner;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(request);
    }
    Wake();
}

void MainThreadSync::CancelPosted(const void *owner)
{
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                [&](const std::shared_ptr<Request> &r) { return !r->synchronous && r->owner == owner; }),
                 queue_.end());
}

bool MainThreadSync::CheckSynchronize()
{
    DrainWake();

    // One request at a time, so a nested call (a handler that waits for a
    // worker) still finds the rest of the queue. Only what is queued now is
    // run: a worker that keeps handing over must not starve the event loop.
    size_t budget;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        budget = queue_.size();
    }
    bool ran = false;
    while (budget-- > 0) {
        std::shared_ptr<Request> request;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.empty())
                break;
            request = queue_.front();
            queue_.pop_front();
        }
        ran = true;
        try {
            request->fn();
        } catch (...) {
            if (request->synchronous)
                request->error = std::current_exception();
            else
                HandleCurrentException();
        }
        if (request->synchronous) {
            std::lock_guard<std::mutex> lock(mutex_);
            request->done = true;
            finished_.notify_all();
        }
    }
    // Anything left over keeps the wake descriptor readable.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!queue_.empty())
            Wake();
    }
    return ran;
}
