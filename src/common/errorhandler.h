#pragma once

#include <exception>
#include <functional>
#include <utility>

// The application's default error handler. Qt must never see an exception,
// so every handler that runs from the event loop goes through Guarded(),
// which hands a failure to the installed handler (the window shows a message
// box) and returns normally.
using DefaultExceptionHandler = std::function<void(std::exception_ptr)>;

void SetDefaultExceptionHandler(DefaultExceptionHandler handler);

// Call inside a catch block: passes the current exception to the handler.
// Without an installed handler the message goes to stderr.
void HandleCurrentException() noexcept;

template <class F>
void Guarded(F &&f) noexcept
{
    try {
        std::forward<F>(f)();
    } catch (...) {
        HandleCurrentException();
    }
}
