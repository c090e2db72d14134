#pragma once

#include "bootloaderintf.h"

#include <cstdint>
#include <string>
#include <vector>

// The host side the bootloader library calls back. The fixed answers (boot
// sign, timeouts, entry command, file names) and the state report live here;
// a front end (the window, the command line) supplies what it shows and asks:
// ProcessMessages, Output, GetPassword and the hooks below.
class BootloaderHost : public IBootloaderHost {
public:
    // The front end owns the host: the library's references never end it.
    int32_t QueryInterface(const InterfaceId &iid, void **out) override;
    int32_t AddRef() override { return -1; }
    int32_t Release() override { return -1; }

    void StateChanged() override;
    WideString GetFlashFileName() override;
    WideString GetEepromFileName() override { return {}; }
    WideString GetImageFileName() override { return GetFlashFileName(); }
    WideString GetBootSign() override { return u"norVEX"; }
    void GetTimeouts(BootloaderTimeouts &out) override;
    WideString GetEntryCommand() override;
    WideString GetExtraText1() override { return {}; }
    int32_t GetHostValue(int32_t flag) override { return flag == 0 ? 16908288 : -1; }
    WideString GetExtraText2() override { return {}; }
    IBootloaderLink *OpenConnection(int32_t index) override;

    const IntfPtr<IBootloader> &Loader() const { return loader_; }
    void SetLoader(IntfPtr<IBootloader> loader) { loader_ = std::move(loader); }
    uint8_t LastSeenState() const { return lastState_; }

    // The image the library writes, as an absolute path. Until one is set,
    // "firmware.acy" in the working directory.
    void SetImageFile(std::string path) { imageFile_ = std::move(path); }

    // The status line.
    virtual void ShowStatus(const std::string &text) = 0;
    // Writing the image failed with this message; the run goes on to disconnect.
    virtual void ReportProgramFailure(const std::string &message) = 0;

protected:
    ~BootloaderHost() = default;

    // The port the library is to open (without the "\\.\" prefix).
    virtual std::string ConnectionPortName() = 0;
    // The connection report on entering the connected states: the log is
    // cleared and these lines appended without moving the selection.
    virtual void ShowConnectionReport(const std::vector<std::string> &lines) = 0;
    // Every state change, after the report (3: programming or verifying).
    virtual void ShowBootloaderState(uint8_t state) = 0;

private:
    IntfPtr<IBootloader> loader_;
    uint8_t lastState_ = 0;
    std::string imageFile_;
};

// UTF-16 text as the 8-bit log shows it: Latin-1, "?" for what it cannot hold.
std::string Latin1FromWide(std::u16string_view text);
