#include "devicesim.h"

#include "bootmessages.h"
#include "checksum.h"

#include <cstdio>
#include <ctime>
#include <fstream>

namespace {

constexpr char RS = '\x1e';
constexpr const char *kCommandPrefix = "0\x1e" "C\x1e";

// A partial frame older than this is noise; the host waits far longer
// before it sends a frame again.
constexpr auto kFrameGap = std::chrono::milliseconds(100);

constexpr const char *kToneTable[11] = {"1060", "1160", "1270", "1400", "1530", "1670",
                                        "1830", "2000", "2200", "2400", "2600"};

std::string Hex(uint32_t v, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, v);
    return text;
}

} // namespace

DeviceSimulator::DeviceSimulator(SimOptions options, std::function<void(const std::string &)> log)
    : options_(std::move(options)), log_(std::move(log)), telegrams_(options_.seed),
      flash_(options_.flashSize, '\xff'), appVersion_(options_.firmwareVersion)
{
    nextTelegram_ = Clock::now();
    announce_ = true;
}

std::string DeviceSimulator::Reply(std::string_view code, std::string_view value) const
{
    std::string out = kCommandPrefix;
    out.append(code);
    out += RS;
    out.append(value);
    out += "\n\r";
    return out;
}

std::string DeviceSimulator::ClockText(Clock::time_point) const
{
    const std::time_t t = std::time(nullptr) + clockOffset_;
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%d.%m.%y %H:%M:%S", &tm);
    return text;
}

std::string DeviceSimulator::Receive(std::string_view bytes, Clock::time_point now)
{
    std::string out;
    for (char c : bytes) {
        if (mode_ == Mode::Decoder)
            out += DecoderByte(c, now);
        else
            out += BootByte(static_cast<uint8_t>(c), now);
    }
    return out;
}

std::string DeviceSimulator::Tick(Clock::time_point now, bool listening, bool lineMatches)
{
    std::string out;
    if (mode_ == Mode::BootWait && now >= bootDeadline_) {
        if (appValid_) {
            BackToDecoder("no boot sign within the boot window");
        } else {
            // Without a complete firmware there is nothing to start.
            log_("BOOT no valid firmware: staying in the bootloader");
            bootDeadline_ = Clock::time_point::max();
        }
    }
    if (mode_ != Mode::Decoder || !listening)
        return out;
    if (announce_ && !lineMatches) {
        announce_ = false;
        log_("HELLO lost: the listener's line is not at " + std::to_string(LineRate()) + " 8N1");
    }
    if (announce_) {
        announce_ = false;
        out += options_.target + " V" + appVersion_ + " ready\n\r";
    }
    if (options_.telegramInterval > 0 && now >= nextTelegram_) {
        const std::string telegram = telegrams_.Next();
        std::string shown = telegram.substr(0, telegram.size() - 2);
        for (char &c : shown)
            if (c == RS)
                c = ' ';
        log_("TELEGRAM " + shown);
        out += telegram;
        nextTelegram_ = now + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(options_.telegramInterval));
    }
    return out;
}

std::string DeviceSimulator::DecoderByte(char byte, Clock::time_point now)
{
    if (byte != '\r') {
        line_ += byte;
        // A decoder line never gets this long; don't grow without bound on noise.
        if (line_.size() > 4096)
            line_.erase(0, line_.size() - 4096);
        return {};
    }
    std::string line;
    line.swap(line_);
    return DecoderLine(line, now);
}

std::string DeviceSimulator::DecoderLine(const std::string &line, Clock::time_point now)
{
    if (line.compare(0, 4, kCommandPrefix) != 0) {
        log_("IGNORED line without command prefix (" + std::to_string(line.size()) + " bytes)");
        return {};
    }
    const std::string rest = line.substr(4);
    const size_t end = rest.find_first_of("\x1e\n");
    const std::string code = rest.substr(0, end);
    if (code == "GS") {
        log_("CMD GS serial number");
        return Reply("GS", options_.serial);
    }
    if (code == "GF") {
        log_("CMD GF firmware version");
        return Reply("GF", appVersion_);
    }
    if (code == "GR") {
        log_("CMD GR hardware revision");
        return Reply("GR", options_.hardwareRevision);
    }
    if (code == "GT") {
        log_("CMD GT decoder clock");
        return Reply("GT", ClockText(now));
    }
    if (code == "GA") {
        log_("CMD GA active decoders");
        return Reply("GA", "FMS:1 ZVEI:1 EEA:0 CCIR:0 POCSAG:0");
    }
    if (code == "GZ") {
        log_("CMD GZ active tone table");
        std::string out = std::string(kCommandPrefix) + "GZ" + RS;
        for (const char *tone : kToneTable) {
            out += tone;
            out += RS;
        }
        out += "\n\r";
        return out;
    }
    if (code == "C") {
        // "C" RS and six bytes, each a date/time part plus 100.
        if (rest.size() < 8 || rest[1] != RS) {
            log_("CLOCK rejected: " + std::to_string(rest.size()) + " bytes after the prefix");
            return {};
        }
        int part[6];
        for (int i = 0; i < 6; ++i)
            part[i] = static_cast<unsigned char>(rest[2 + static_cast<size_t>(i)]) - 100;
        const bool valid = part[0] >= 1 && part[0] <= 31 && part[1] >= 1 && part[1] <= 12 && part[2] >= 0 &&
                           part[2] <= 99 && part[3] >= 0 && part[3] <= 23 && part[4] >= 0 && part[4] <= 59 &&
                           part[5] >= 0 && part[5] <= 59;
        char text[64];
        std::snprintf(text, sizeof text, "%02d.%02d.20%02d %02d:%02d:%02d", part[0], part[1], part[2], part[3],
                      part[4], part[5]);
        if (!valid) {
            log_(std::string("CLOCK rejected: out of range ") + text);
            return {};
        }
        std::tm tm{};
        tm.tm_mday = part[0];
        tm.tm_mon = part[1] - 1;
        tm.tm_year = 100 + part[2];
        tm.tm_hour = part[3];
        tm.tm_min = part[4];
        tm.tm_sec = part[5];
        tm.tm_isdst = -1;
        clockOffset_ = static_cast<int64_t>(std::mktime(&tm)) - static_cast<int64_t>(std::time(nullptr));
        log_(std::string("CLOCK set to ") + text);
        return {};
    }
    if (code == "B") {
        mode_ = Mode::BootWait;
        bootDeadline_ = now + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(options_.bootWindow));
        frames_.Reset();
        signWindow_.clear();
        char text[96];
        std::snprintf(text, sizeof text, "RESET: bootloader waits %.1f s for the boot sign", options_.bootWindow);
        log_(text);
        return {};
    }
    log_("UNKNOWN command \"" + code + "\"");
    return {};
}

void DeviceSimulator::BackToDecoder(const char *why)
{
    log_(std::string("MODE decoder (") + why + "), firmware " + appVersion_);
    mode_ = Mode::Decoder;
    line_.clear();
    frames_.Reset();
    announce_ = true;
}

std::string DeviceSimulator::Entry()
{
    if (options_.noBootloader) {
        log_("BOOT sign ignored (fault no-bootloader)");
        return {};
    }
    if (mode_ == Mode::Silent)
        log_("BOOT new entry ends the silent line");
    mode_ = Mode::Bootloader;
    unlocked_ = options_.password.empty();
    writesThisEntry_ = 0;
    sessionReceived_ = 0;
    sessionSent_ = 0;
    frames_.Reset();
    HelloInfo hello;
    hello.deviceId = 0xC469;
    hello.bootloaderVersion = 0x0102;
    hello.flags = options_.flags;
    hello.needsPassword = !options_.password.empty();
    hello.hasApplication = appValid_;
    hello.pageSize = static_cast<uint16_t>(options_.pageSize);
    hello.flashSize = options_.flashSize;
    hello.eepromSize = 0;
    hello.maxPayload = static_cast<uint16_t>(options_.pageSize + 4);
    hello.applicationSize = appValid_ ? appSize_ : 0;
    hello.target = options_.target;
    hello.firmwareVersion = appValid_ ? appVersion_ : std::string();
    hello.serialNumber = options_.serial;
    hello.info = options_.info;
    if (options_.window > 0) {
        hello.protocolVersion = 2;
        hello.window = options_.window;
    }
    log_("BOOT sign received: handshake sent" + std::string(hello.needsPassword ? " (password required)" : ""));
    return EncodeFrame(frametype::Hello, 0, EncodeHello(hello));
}

std::string DeviceSimulator::BootByte(uint8_t byte, Clock::time_point now)
{
    ++sessionReceived_;
    if (!frames_.Empty() && now - lastFrameByte_ > kFrameGap) {
        log_("BOOT partial frame dropped after a pause (" + std::to_string(frames_.Buffered()) + " bytes)");
        frames_.Reset();
    }
    if (frames_.Empty() && byte != kFrameStart) {
        // Outside a frame: only the boot sign means something.
        signWindow_ += static_cast<char>(byte);
        if (signWindow_.size() > options_.bootSign.size())
            signWindow_.erase(0, signWindow_.size() - options_.bootSign.size());
        if (signWindow_ == options_.bootSign) {
            signWindow_.clear();
            return Entry();
        }
        return {};
    }
    signWindow_.clear();
    if (mode_ != Mode::Bootloader) {
        // Before the sign, and while the line is silent, frames are not taken.
        return {};
    }
    lastFrameByte_ = now;
    frames_.Feed(std::string_view(reinterpret_cast<const char *>(&byte), 1));
    std::string out;
    Frame frame;
    for (DecodeResult r; (r = frames_.Next(frame)) != DecodeResult::NeedMore;) {
        if (r == DecodeResult::BadChecksum) {
            log_("BOOT frame '" + std::string(1, static_cast<char>(frame.type)) + "' damaged: checksum wrong");
            out += Ack(frame.seq, bootstatus::BadChecksum);
            continue;
        }
        out += HandleFrame(frame, now);
        if (mode_ != Mode::Bootloader)
            break;
    }
    return out;
}

std::string DeviceSimulator::Ack(uint8_t seq, uint8_t status)
{
    std::string payload(1, static_cast<char>(status));
    return EncodeFrame(frametype::Ack, seq, payload);
}

std::string DeviceSimulator::HandleFrame(const Frame &frame, Clock::time_point)
{
    const uint32_t page = options_.pageSize;
    switch (frame.type) {
    case frametype::Password:
        if (options_.password.empty() || frame.payload == options_.password) {
            unlocked_ = true;
            log_("BOOT password accepted");
            return Ack(frame.seq, bootstatus::Ok);
        }
        log_("BOOT password denied");
        return Ack(frame.seq, bootstatus::Denied);
    case frametype::Erase: {
        if (!unlocked_)
            return Ack(frame.seq, bootstatus::Locked);
        const auto range = ParseRange(frame.payload);
        if (!range)
            return Ack(frame.seq, bootstatus::BadLength);
        if (range->start % page || range->length % page || range->length == 0 ||
            uint64_t(range->start) + range->length > flash_.size())
            return Ack(frame.seq, bootstatus::BadAddress);
        flash_.replace(range->start, range->length, range->length, '\xff');
        appValid_ = false;
        appSize_ = 0;
        log_("BOOT ERASE " + Hex(range->start, 6) + ".." + Hex(range->start + range->length - 1, 6) + " (" +
             std::to_string(range->length / page) + " pages)");
        return Ack(frame.seq, bootstatus::Ok);
    }
    case frametype::Write: {
        if (!unlocked_)
            return Ack(frame.seq, bootstatus::Locked);
        if (options_.dropAfter && !dropDone_ && writesThisEntry_ >= options_.dropAfter) {
            dropDone_ = true;
            mode_ = Mode::Silent;
            log_("FAULT line silent after " + std::to_string(writesThisEntry_) + " page writes");
            return {};
        }
        ++writesTotal_;
        if (options_.corruptFrame && !corruptDone_ && writesTotal_ == options_.corruptFrame) {
            corruptDone_ = true;
            log_("FAULT page write " + std::to_string(writesTotal_) + " arrives damaged");
            return Ack(frame.seq, bootstatus::BadChecksum);
        }
        if (frame.payload.size() < 5)
            return Ack(frame.seq, bootstatus::BadLength);
        const uint32_t address = GetLe32(frame.payload, 0);
        const size_t length = frame.payload.size() - 4;
        if (address % page || length > page || uint64_t(address) + length > flash_.size())
            return Ack(frame.seq, bootstatus::BadAddress);
        flash_.replace(address, length, frame.payload, 4, length);
        ++writesThisEntry_;
        return Ack(frame.seq, bootstatus::Ok);
    }
    case frametype::Verify: {
        const auto range = ParseRange(frame.payload);
        if (!range)
            return Ack(frame.seq, bootstatus::BadLength);
        if (uint64_t(range->start) + range->length > flash_.size())
            return Ack(frame.seq, bootstatus::BadAddress);
        const uint32_t crc = Crc32(flash_.data() + range->start, range->length);
        log_("BOOT VERIFY " + std::to_string(range->length) + " bytes at " + Hex(range->start, 6) + ": CRC-32 " +
             Hex(crc, 8));
        std::string payload;
        PutLe32(payload, crc);
        return EncodeFrame(frametype::Checksum, frame.seq, payload);
    }
    case frametype::Finish: {
        if (!unlocked_)
            return Ack(frame.seq, bootstatus::Locked);
        const auto finish = ParseFinish(frame.payload);
        if (!finish)
            return Ack(frame.seq, bootstatus::BadLength);
        if (uint64_t(finish->start) + finish->length > flash_.size())
            return Ack(frame.seq, bootstatus::BadAddress);
        const std::string image = flash_.substr(finish->start, finish->length);
        if (Crc32(image) != finish->crc) {
            log_("BOOT FINISH refused: CRC-32 of the flash is " + Hex(Crc32(image), 8) + ", expected " +
                 Hex(finish->crc, 8));
            return Ack(frame.seq, bootstatus::VerifyFailed);
        }
        appValid_ = true;
        appSize_ = finish->length;
        appVersion_ = finish->version;
        std::string note;
        if (!options_.dumpFile.empty()) {
            // Replace the dump in one step so a reader never sees half of it.
            const std::string temp = options_.dumpFile + ".tmp";
            std::ofstream(temp, std::ios::binary | std::ios::trunc).write(image.data(),
                                                                         static_cast<std::streamsize>(image.size()));
            std::rename(temp.c_str(), options_.dumpFile.c_str());
            note = ", dump written to " + options_.dumpFile;
        }
        log_("BOOT PROGRAMMED " + std::to_string(finish->length) + " bytes, version " + appVersion_ + ", CRC-32 " +
             Hex(finish->crc, 8) + note);
        log_("WIRE since the boot sign: received " + std::to_string(sessionReceived_) + " bytes, sent " +
             std::to_string(sessionSent_) + " bytes");
        return Ack(frame.seq, bootstatus::Ok);
    }
    case frametype::Leave:
        if (!appValid_) {
            log_("BOOT LEAVE refused: no valid firmware");
            return Ack(frame.seq, bootstatus::NoApplication);
        }
        {
            std::string out = Ack(frame.seq, bootstatus::Ok);
            BackToDecoder("leave command");
            return out;
        }
    default:
        log_("BOOT unknown frame '" + std::string(1, static_cast<char>(frame.type)) + "'");
        return Ack(frame.seq, bootstatus::BadCommand);
    }
}
