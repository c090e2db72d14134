#pragma once

#include "bootloaderhost.h"

#include <functional>

struct Form1Widgets;

// The bootloader library's host for the main window: the fixed answers come
// from BootloaderHost; what the library shows and asks goes to the window's
// status line, event log, boxes and port-name box. State reports go through
// the window's StateChanged handler, given as `stateChanged`.
class WindowBootloaderHost final : public BootloaderHost {
public:
    WindowBootloaderHost(const Form1Widgets &widgets, std::function<void()> stateChanged)
        : widgets_(widgets), stateChanged_(std::move(stateChanged))
    {
    }

    // The state report itself, run by the window's handler.
    void ReportState() { BootloaderHost::StateChanged(); }

    int32_t ProcessMessages() override;
    void StateChanged() override;
    void Output(const char16_t *text, int32_t code) override;
    WideString GetPassword() override;
    void ShowStatus(const std::string &text) override;
    void ReportProgramFailure(const std::string &message) override;

private:
    void FollowProgress();
    std::string ConnectionPortName() override;
    void ShowConnectionReport(const std::vector<std::string> &lines) override;
    void ShowBootloaderState(uint8_t state) override;

    void AddLogLine(const std::string &text);

    const Form1Widgets &widgets_;
    std::function<void()> stateChanged_;
};
