#pragma once

#include "bootdevice.h"
#include "framecodec.h"
#include "refcounted.h"

#include <functional>
#include <optional>
#include <string>

struct FirmwareImage;

// The loader object handed out by OpenBootloader. Every operation runs on
// the caller's thread; while it waits for the line it lets the host process
// its messages, so the host may call back in (Cancel, Disconnect).
class Bootloader final : public RefCounted<IBootloader> {
public:
    explicit Bootloader(IBootloaderHost *host);

    int32_t QueryInterface(const InterfaceId &iid, void **out) override { return Query(iid, kIidBootloader, out); }
    uint8_t GetState() override { return state_; }
    int32_t Connect(int32_t connection) override;
    void Disconnect() override;
    void Cancel() override { cancelled_ = true; }
    void Program(int32_t first, int32_t count) override;
    void Verify(int32_t first, int32_t count) override;
    int32_t GetProgress() override { return progress_; }
    WideString GetLastMessage() override { return lastMessage_; }
    void GetWireCounters(int64_t &sent, int64_t &received) override;
    IBootloaderLink *GetLink() override;
    IBootloaderDevice *GetDevice() override;
    WideString GetVersion() override { return u"1.0"; }

private:
    ~Bootloader() override;

    // Index of each field of the host's timeouts record (see PROTOCOL.md).
    enum Timeout {
        BaudRate = 0,
        BootSignRepeats = 1,
        HandshakeMs = 2,
        PollSliceMs = 3,
        Retries = 4,
        SettleMs = 5,
        RetryPauseMs = 6,
        PerPageMs = 7,
        AckMs = 8,
        LeaveLingerMs = 11,
        VerifyAfterWrite = 13,
    };

    void SetState(uint8_t state);
    void Say(const std::string &text, int32_t code = kOutputInfo);
    void CloseLink();
    void RequireConnected(const char *operation) const;
    int32_t TimeoutField(Timeout field, int32_t fallback, int32_t min) const;
    int32_t LineMs(size_t bytes) const;
    void Pause(int32_t ms);

    bool Handshake(IBootloaderLink *link);
    bool SendSignAndListen(IBootloaderLink *link, const std::string &sign, int32_t window);

    // The decoder's own rate, at which it takes the entry command.
    static constexpr int32_t kDecoderBaud = 9600;
    // How long the line stays at that rate after the entry command: its 7 ms
    // on the wire, an adapter's buffer and latency timer, and the decoder
    // taking it before the rate changes under it.
    static constexpr int32_t kEntryHoldMs = 150;
    bool Unlock();
    FirmwareImage LoadImage(const WideString &name, const char *what);
    std::optional<Frame> AwaitFrame(IBootloaderLink *link, int32_t waitMs, uint8_t seq, bool hello);
    std::optional<Frame> AwaitFrameIf(IBootloaderLink *link, int32_t waitMs, const std::function<bool(const Frame &)> &wanted);
    // A smoothed answer time and its variation, from answers to first
    // attempts only (as TCP does, RFC 6298).
    struct RoundTrip {
        double srttMs = -1;
        double varMs = 0;
        void Note(double sampleMs)
        {
            if (srttMs < 0) {
                srttMs = sampleMs;
                varMs = sampleMs / 2;
                return;
            }
            varMs = 0.75 * varMs + 0.25 * (srttMs > sampleMs ? srttMs - sampleMs : sampleMs - srttMs);
            srttMs = 0.875 * srttMs + 0.125 * sampleMs;
        }
        // 0 before the first answer.
        int32_t AllowanceMs() const { return srttMs < 0 ? 0 : static_cast<int32_t>(srttMs + 4 * varMs + 0.5); }
    };
    // The round trip beyond the line time: what every answer wait adds, so
    // a remote link's delay is not taken for a lost frame.
    void NoteRoundTrip(int64_t elapsedMs, size_t lineBytes);
    int32_t RoundTripAllowanceMs() const { return roundTrip_.AllowanceMs(); }
    // Page writes with several frames in flight, for a bootloader that
    // announces a window (protocol 2).
    void WritePagesInFlight(const FirmwareImage &image, uint32_t pages, uint32_t pageSize, int32_t ackMs,
                            int window);
    // Sends a frame and returns the bootloader's answer with status Ok,
    // retransmitting on silence or damage; raises on refusal or when the
    // attempts run out. what names the request in messages.
    Frame Exchange(uint8_t type, const std::string &payload, int32_t waitMs, const std::string &what,
                   bool retry = true);
    uint32_t DeviceCrc(uint32_t start, uint32_t length, int32_t waitMs);
    void Leave();

    IBootloaderHost *host_;
    uint8_t state_ = kStateIdle;
    IntfPtr<IBootloaderLink> link_;
    IntfPtr<BootDevice> device_;
    std::string portPath_;
    BootloaderTimeouts timeouts_{};
    FrameDecoder decoder_;
    uint8_t seq_ = 0;
    RoundTrip roundTrip_;
    bool cancelled_ = false;
    int32_t progress_ = 0;
    WideString lastMessage_;
    int64_t wireSent_ = 0;
    int64_t wireReceived_ = 0;
};
