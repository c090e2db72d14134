#include "errorhandler.h"

#include <cstdio>

namespace {
DefaultExceptionHandler &Handler()
{
    static DefaultExceptionHandler handler;
    return handler;
}
} // namespace

void SetDefaultExceptionHandler(DefaultExceptionHandler handler) { Handler() = std::move(handler); }

void HandleCurrentException() noexcept
{
    const std::exception_ptr error = std::current_exception();
    if (!error)
        return;
    try {
        if (Handler()) {
            Handler()(error);
            return;
        }
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "unknown error\n");
    }
}
