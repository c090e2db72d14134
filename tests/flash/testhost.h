#pragma once

#include "bootloaderintf.h"
#include "bootloaderlibrary.h"
#include "exception.h"

#include <string>
#include <vector>

// A host like the main window's, without widgets: it records what the
// library tells it and opens the link the way the tool does.
class TestHost final : public IBootloaderHost {
public:
    explicit TestHost(std::string port) : port_(std::move(port))
    {
        const int32_t standard[14] = {19200, 10, 800, 10, 15, 10, 10, 10, 250, 0, 0, 20, 0, 1};
        for (int i = 0; i < 14; ++i)
            timeouts.Field[i] = standard[i];
    }

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

    int32_t QueryInterface(const InterfaceId &iid, void **out) override
    {
        if (iid == kIidBootloaderHost || iid == kIidInterface) {
            *out = static_cast<IBootloaderHost *>(this);
            return kResultOk;
        }
        *out = nullptr;
        return kResultNoInterface;
    }
    // The window's life is its own; the library's references do not count.
    int32_t AddRef() override { return -1; }
    int32_t Release() override { return -1; }

    int32_t ProcessMessages() override
    {
        ++processMessagesCalls;
        return 0;
    }
    void StateChanged() override { states.push_back(loader ? loader->GetState() : -1); }
    void Output(const char16_t *text, int32_t) override { outputs.push_back(Utf8FromWide(text)); }
    WideString GetFlashFileName() override { return WideFromUtf8(firmwareFile); }
    WideString GetEepromFileName() override { return {}; }
    WideString GetImageFileName() override { return WideFromUtf8(firmwareFile); }
    WideString GetPassword() override
    {
        ++passwordRequests;
        return password;
    }
    WideString GetBootSign() override { return u"norVEX"; }
    void GetTimeouts(BootloaderTimeouts &out) override { out = timeouts; }
    WideString GetEntryCommand() override { return u"0\x1e" u"C\x1e" u"B\n\r"; }
    WideString GetExtraText1() override { return {}; }
    int32_t GetHostValue(int32_t flag) override { return flag == 0 ? 16908288 : -1; }
    WideString GetExtraText2() override { return {}; }
    IBootloaderLink *OpenConnection(int32_t index) override
    {
        if (index > 1)
            return nullptr;
        IntfPtr<IBootloaderLink> link;
        try {
            if (failOpen)
                throw Exception("refused by the test");
            link = BootloaderLibrary::Default().OpenCOM(u"\\\\.\\" + WideFromUtf8(port_), this);
        } catch (...) {
            throw Exception("Error: can not open port " + port_);
        }
        try {
            if (!link)
                throw Exception("no link");
            link->SetParams(19200, 0, 8, 0, 0);
        } catch (...) {
            throw Exception("Error: can not setup baudrate to 19200");
        }
        Output((u"Connecting on port " + WideFromUtf8(port_) + u"...").c_str(), 0x10000000);
        IBootloaderLink *raw = link.get();
        raw->AddRef();
        return raw;
    }

private:
    std::string port_;
};
