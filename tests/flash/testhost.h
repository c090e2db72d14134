#pragma once

#include "bootloaderhost.h"
#include "exception.h"

#include <string>
#include <vector>

// The tool's own host without a front end: boot sign, entry command and
// the opening of the link are the tool's; it records what the library tells
// it, and the tests set the image, the timeouts and the password.
class TestHost final : public BootloaderHost {
public:
    explicit TestHost(std::string port) : port_(std::move(port)) { BootloaderHost::GetTimeouts(timeouts); }

    IBootloader *loader = nullptr; // to read the state in StateChanged
    BootloaderTimeouts timeouts{};
    std::u16string password;
    std::string firmwareFile;
    bool failOpen = false;
    std::vector<int> states;
    std::vector<std::string> outputs;
    int processMessagesCalls = 0;
    int passwordRequests = 0;

    bool Said(const std::string &text) const
    {
        for (const auto &line : outputs)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }
    std::string AllOutput() const
    {
        std::string all;
        for (const auto &line : outputs)
            all += line + "\n";
        return all;
    }

    int32_t ProcessMessages() override
    {
        ++processMessagesCalls;
        return 0;
    }
    void StateChanged() override { states.push_back(loader ? loader->GetState() : -1); }
    void Output(const char16_t *text, int32_t) override { outputs.push_back(Utf8FromWide(text)); }
    WideString GetFlashFileName() override { return WideFromUtf8(firmwareFile); }
    WideString GetPassword() override
    {
        ++passwordRequests;
        return password;
    }
    void GetTimeouts(BootloaderTimeouts &out) override { out = timeouts; }
    IBootloaderLink *OpenConnection(int32_t index) override
    {
        if (failOpen && index <= 1)
            throw Exception("Error: can not open port " + port_);
        return BootloaderHost::OpenConnection(index);
    }
    void ShowStatus(const std::string &) override {}
    void ReportProgramFailure(const std::string &) override {}

protected:
    std::string ConnectionPortName() override { return port_; }
    // Not reached: StateChanged above records instead of reporting.
    void ShowConnectionReport(const std::vector<std::string> &) override {}
    void ShowBootloaderState(uint8_t) override {}

private:
    std::string port_;
};
