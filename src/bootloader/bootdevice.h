#pragma once

#include "bootmessages.h"
#include "refcounted.h"

// What the bootloader said about the decoder in its last handshake; an
// empty object (IsValid 0) before the first one.
class BootDevice final : public RefCounted<IBootloaderDevice> {
public:
    BootDevice() = default;
    explicit BootDevice(HelloInfo hello) : hello_(std::move(hello)), valid_(true) {}

    void SetUnlocked(bool unlocked) { unlocked_ = unlocked; }
    void SetApplication(uint32_t size, std::string version)
    {
        hello_.hasApplication = size != 0;
        hello_.applicationSize = size;
        hello_.firmwareVersion = std::move(version);
    }
    const HelloInfo &Hello() const { return hello_; }

    int32_t QueryInterface(const InterfaceId &iid, void **out) override
    {
        return Query(iid, kIidBootloaderDevice, out);
    }
    WideString GetTarget() override { return WideFromUtf8(hello_.target); }
    int32_t GetDeviceId() override { return hello_.deviceId; }
    WideString GetInfo() override { return WideFromUtf8(hello_.info); }
    int32_t GetPageSize() override { return hello_.pageSize; }
    int32_t GetFlashSize() override { return static_cast<int32_t>(hello_.flashSize); }
    int32_t GetEepromSize() override { return static_cast<int32_t>(hello_.eepromSize); }
    int32_t GetBootloaderVersion() override { return hello_.bootloaderVersion; }
    WideString GetFirmwareVersion() override { return WideFromUtf8(hello_.firmwareVersion); }
    int32_t NeedsPassword() override { return hello_.needsPassword; }
    int32_t HasApplication() override { return hello_.hasApplication; }
    int32_t GetApplicationSize() override { return static_cast<int32_t>(hello_.applicationSize); }
    WideString GetSerialNumber() override { return WideFromUtf8(hello_.serialNumber); }
    int32_t GetMaxPayload() override { return hello_.maxPayload; }
    int32_t IsUnlocked() override { return unlocked_; }
    int32_t IsValid() override { return valid_; }
    int32_t GetFlags() override { return hello_.flags & 0x07; }

private:
    HelloInfo hello_;
    bool valid_ = false;
    bool unlocked_ = false;
};
