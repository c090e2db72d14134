#pragma once

#include "framecodec.h"
#include "telegramsource.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct SimOptions {
    std::string serial = "A1234";
    std::string firmwareVersion = "4.69";
    std::string hardwareRevision = "C469-2";
    std::string target = "KARVEN-C469";
    std::string info = "KARVEN radio-status decoder";
    std::string bootSign = "norVEX";
    std::string password;          // empty: no password
    std::string dumpFile;          // written after every successful programming
    double telegramInterval = 0;   // seconds, 0 = none
    double bootWindow = 3;         // seconds the bootloader waits for the sign after a reset
    int bootBaud = 19200;          // the bootloader's line rate (the library sets it)
    uint32_t pageSize = 256;
    uint32_t flashSize = 128 * 1024;
    uint8_t flags = 1;             // encryption bits reported, none required
    uint8_t window = 0;            // 0: bootloader protocol 1; else protocol 2 with this window
    uint32_t corruptFrame = 0;     // the Nth page write arrives damaged once
    uint32_t dropAfter = 0;        // silent after N page writes, until the next entry
    bool noBootloader = false;     // the boot sign is never answered
    uint32_t seed = 1;
};

// The decoder as seen from its serial line: decoder mode (line commands,
// telegram reports) and bootloader mode (boot sign, frames, flash memory).
// It does no I/O: bytes come in through Receive, bytes to send come out of
// Receive and Tick, and every event goes to the log callback.
class DeviceSimulator {
public:
    using Clock = std::chrono::steady_clock;
    enum class Mode { Decoder, BootWait, Bootloader, Silent };

    DeviceSimulator(SimOptions options, std::function<void(const std::string &)> log);

    std::string Receive(std::string_view bytes, Clock::time_point now);
    // Timers: the boot window, telegrams (only when someone listens). The
    // start-up greeting is lost when the listener's line settings differ.
    std::string Tick(Clock::time_point now, bool listening, bool lineMatches = true);

    Mode CurrentMode() const { return mode_; }
    // The rate the device's UART runs at now (always 8N1).
    int LineRate() const { return mode_ == Mode::Decoder ? 9600 : options_.bootBaud; }
    void CountSent(size_t bytes) { sessionSent_ += bytes; }

private:
    std::string DecoderByte(char byte, Clock::time_point now);
    std::string DecoderLine(const std::string &line, Clock::time_point now);
    std::string BootByte(uint8_t byte, Clock::time_point now);
    std::string Entry();
    std::string HandleFrame(const Frame &frame, Clock::time_point now);
    std::string Ack(uint8_t seq, uint8_t status);
    void BackToDecoder(const char *why);
    std::string Reply(std::string_view code, std::string_view value) const;
    std::string ClockText(Clock::time_point now) const;

    SimOptions options_;
    std::function<void(const std::string &)> log_;
    Mode mode_ = Mode::Decoder;
    std::string line_;
    TelegramSource telegrams_;
    Clock::time_point nextTelegram_;
    Clock::time_point bootDeadline_;
    bool announce_ = false;   // say hello on the line once someone listens

    // Seconds the decoder's clock is ahead of the host's, set by "C".
    int64_t clockOffset_ = 0;

    // Bootloader state
    FrameDecoder frames_;
    Clock::time_point lastFrameByte_;
    std::string signWindow_;
    bool unlocked_ = false;
    std::string flash_;
    bool appValid_ = true;
    uint32_t appSize_ = 0;
    std::string appVersion_;
    uint32_t writesThisEntry_ = 0;
    uint32_t writesTotal_ = 0;
    bool corruptDone_ = false;
    bool dropDone_ = false;
    uint64_t sessionReceived_ = 0;
    uint64_t sessionSent_ = 0;
};
