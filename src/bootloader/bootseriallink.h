#pragma once

#include "portname.h"
#include "refcounted.h"
#include "remoteserialdevice.h"

#include <memory>
#include <string>
#include <string_view>

// The library's own serial link: raw 8-bit termios, opened exclusively; a
// port on a serial device server (rfc2217://) through the same remote
// device the tool's port uses.
class BootSerialLink final : public RefCounted<IBootloaderLink> {
public:
    // Opens the port; raises EBootloader naming the path and the reason.
    static BootSerialLink *Open(const std::string &path, IBootloaderHost *host);

    int32_t QueryInterface(const InterfaceId &iid, void **out) override { return Query(iid, kIidBootloaderLink, out); }
    WideString GetPortName() override;
    int32_t IsOpen() override { return fd_ >= 0; }
    void Close() override;
    void SetParams(int32_t baudRate, int32_t parity, int32_t dataBits, int32_t stopBits, int32_t flowControl) override;
    void Purge() override;
    int32_t IsOneWire() override { return 0; } // separate RX and TX lines
    int32_t GetBaudRate() override { return baudRate_; }
    void Write(const uint8_t *data, int32_t length) override;
    int32_t Read(uint8_t *data, int32_t capacity, int32_t timeoutMs) override;
    void GetCounters(int64_t &sent, int64_t &received) override;
    void ResetCounters() override;

private:
    BootSerialLink(std::string path, int fd, IBootloaderHost *host, std::unique_ptr<RemoteSerialDevice> remote = {});
    ~BootSerialLink() override;
    void RequireOpen() const;

    std::string path_;
    int fd_;
    IBootloaderHost *host_;
    int32_t baudRate_ = 0;
    int64_t sent_ = 0;
    int64_t received_ = 0;
    std::unique_ptr<RemoteSerialDevice> remote_;
};
