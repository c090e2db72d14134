#include "mainthreadsync.h"

#include "errorhandler.h"
#include "ptyhelpers.h"
#include "serialerror.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(MainThreadSync, RunsWorkerCallsOnTheUiThreadAndCarriesFailuresBack)
{
    auto &sync = MainThreadSync::Instance();
    sync.SetMainThread(std::this_thread::get_id());
    const auto ui = std::this_thread::get_id();

    std::atomic<int> step{0};
    std::thread::id ranOn;
    int caughtCode = 0;
    std::thread worker([&] {
        sync.Synchronize([&] { ranOn = std::this_thread::get_id(); });
        step = 1;
        try {
            sync.Synchronize([] { throw ESerialPort(10, 5); });
        } catch (const ESerialPort &e) {
            caughtCode = e.LibraryCode();
        }
        step = 2;
    });

    // Nothing runs until the UI thread looks.
    pollfd p{sync.WakeFd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    EXPECT_EQ(step.load(), 0);
    EXPECT_TRUE(PumpUntil([&] { return step.load() == 2; }));
    worker.join();
    EXPECT_EQ(ranOn, ui);
    EXPECT_EQ(caughtCode, 10);
    EXPECT_FALSE(sync.CheckSynchronize());

    // On the UI thread itself the call runs at once.
    bool direct = false;
    sync.Synchronize([&] { direct = true; });
    EXPECT_TRUE(direct);
}

TEST(MainThreadSync, QueuedCallsRunInOrderReportFailuresAndCanBeCancelled)
{
    auto &sync = MainThreadSync::Instance();
    sync.SetMainThread(std::this_thread::get_id());
    std::string order;
    std::string reported;
    SetDefaultExceptionHandler([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception &x) {
            reported = x.what();
        }
    });
    int keep = 0, drop = 0;
    std::thread worker([&] {
        sync.Post(&keep, [&] { order += "a"; });
        sync.Post(&drop, [&] { order += "x"; });
        sync.Post(&keep, [&] { throw ESerialPort(2, 9); });
        sync.Post(&keep, [&] { order += "b"; });
    });
    worker.join();
    sync.CancelPosted(&drop);
    EXPECT_TRUE(sync.CheckSynchronize());
    SetDefaultExceptionHandler(nullptr);
    EXPECT_EQ(order, "ab");
    EXPECT_EQ(reported, "WriteFile function failed (win error code: 9)");
}
