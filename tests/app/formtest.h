#pragma once

// The main window shown for a test, found by object name, modal boxes
// answered from inside the loop that opens them, and waits that keep the
// event loop running.
#include "tform1.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

class FormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        form = std::make_unique<TForm1>();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }
    void TearDown() override { form.reset(); }

    template <class T = QWidget>
    T *Find(const char *name) const
    {
        T *widget = form->findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    // Runs `action` and, from inside the modal loop it opens, hands the
    // active dialog of type D to `inspect`, which closes it.
    template <class D>
    static bool WithModal(const std::function<void()> &action, const std::function<void(D *)> &inspect)
    {
        bool seen = false;
        QTimer timer;
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (auto *dialog = qobject_cast<D *>(QApplication::activeModalWidget())) {
                timer.stop();
                seen = true;
                inspect(dialog);
            }
        });
        timer.start();
        action();
        timer.stop();
        return seen;
    }

    std::unique_ptr<TForm1> form;
};

inline std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// Lets the event loop run (hand-overs from the port's event thread
// included) until `done` holds or the time runs out.
inline bool WaitFor(const std::function<bool()> &done, int timeoutMs = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        QTest::qWait(5);
    }
    return true;
}
