#include "bootloader.h"

#include "bootloadererror.h"
#include "bootmessages.h"
#include "firmwarecontainer.h"
#include "regularfile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int64_t MsUntil(Clock::time_point deadline)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

std::string Hex(uint32_t v, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, v);
    return text;
}

std::string ReadWholeFile(const std::string &path)
{
    // Not blocking on a FIFO, and only a regular file the container may be.
    const int fd = OpenRegularFile(path, kFirmwareFileLimit);
    std::string bytes;
    if (fd < 0 || !ReadRegularFile(fd, kFirmwareFileLimit, bytes)) {
        const int error = errno;
        if (fd >= 0)
            CloseRegularFile(fd);
        throw EBootloader("Cannot read the firmware file " + path + ": " + std::strerror(error));
    }
    CloseRegularFile(fd);
    return bytes;
}

uint8_t StatusOf(const Frame &reply)
{
    if (reply.type == frametype::Ack)
        return reply.payload.empty() ? bootstatus::BadCommand : static_cast<uint8_t>(reply.payload[0]);
    return bootstatus::Ok;
}

} // namespace

Bootloader::Bootloader(IBootloaderHost *host) : host_(host), device_(IntfPtr<BootDevice>::Adopt(new BootDevice))
{
    host_->AddRef();
}

Bootloader::~Bootloader()
{
    CloseLink();
    host_->Release();
}

void Bootloader::SetState(uint8_t state)
{
    if (state == state_)
        return;
    state_ = state;
    host_->StateChanged();
}

void Bootloader::Say(const std::string &text, int32_t code)
{
    lastMessage_ = WideFromUtf8(text);
    const WideString copy = lastMessage_; // Output may call back and replace lastMessage_
    host_->Output(copy.c_str(), code);
}

void Bootloader::CloseLink()
{
    if (link_) {
        link_->Close();
        link_.reset();
    }
    decoder_.Reset();
}

void Bootloader::RequireConnected(const char *operation) const
{
    if (state_ == kStateWorking)
        throw EBootloader(std::string("The bootloader is busy; ") + operation + " has to wait");
    if (state_ != kStateConnected || !link_)
        throw EBootloader(std::string("Not connected to the bootloader; connect before ") + operation);
}

int32_t Bootloader::TimeoutField(Timeout field, int32_t fallback, int32_t min) const
{
    const int32_t v = timeouts_.Field[field];
    if (v < min)
        return fallback;
    return v;
}

int32_t Bootloader::LineMs(size_t bytes) const
{
    const int32_t baud = TimeoutField(BaudRate, 19200, 300);
    // 10 bit times per byte with 8N1.
    return static_cast<int32_t>(bytes * 10 * 1000 / static_cast<size_t>(baud)) + 1;
}

void Bootloader::Pause(int32_t ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    const int32_t slice = TimeoutField(PollSliceMs, 10, 1);
    for (;;) {
        host_->ProcessMessages();
        const int64_t left = MsUntil(deadline);
        if (left <= 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(left, slice)));
    }
}

int32_t Bootloader::Connect(int32_t connection)
{
    if (state_ == kStateWorking)
        throw EBootloader("The bootloader is busy programming; it cannot connect again now");
    CloseLink();
    cancelled_ = false;
    roundTrip_ = RoundTrip();
    device_ = IntfPtr<BootDevice>::Adopt(new BootDevice);
    SetState(kStateConnecting);

    IntfPtr<IBootloaderLink> link;
    try {
        host_->GetTimeouts(timeouts_);
        link = IntfPtr<IBootloaderLink>::Adopt(host_->OpenConnection(connection < 0 ? 0 : connection));
    } catch (...) {
        SetState(kStateIdle);
        throw;
    }
    if (!link) {
        Say("The host gave no serial link for connection " + std::to_string(connection < 0 ? 0 : connection),
            kOutputError);
        SetState(kStateIdle);
        return 0;
    }
    link_ = link;
    portPath_ = Utf8FromWide(link->GetPortName());
    try {
        if (!Handshake(link.get())) {
            CloseLink();
            SetState(kStateIdle);
            return 0;
        }
        if (!Unlock()) {
            Leave();
            CloseLink();
            SetState(kStateIdle);
            return 0;
        }
    } catch (...) {
        CloseLink();
        SetState(kStateIdle);
        throw;
    }

    SetState(kStateConnected);
    const HelloInfo &h = device_->Hello();
    Say("Bootloader " + std::to_string(h.bootloaderVersion >> 8) + "." + std::to_string(h.bootloaderVersion & 0xFF) +
        " of " + h.target + " on " + portPath_ + ": " + std::to_string(h.flashSize) + " bytes of flash in " +
        std::to_string(h.pageSize) + "-byte pages, firmware " +
        (h.hasApplication ? h.firmwareVersion : std::string("none")));
    return 1;
}

bool Bootloader::Handshake(IBootloaderLink *link)
{
    const std::string sign = Utf8FromWide(host_->GetBootSign());
    if (sign.empty())
        throw EBootloader("The host gave no boot sign for the bootloader");
    link->Purge();
    decoder_.Reset();
    Pause(TimeoutField(SettleMs, 10, 0));

    const int32_t window = TimeoutField(HandshakeMs, 800, 1);
    if (SendSignAndListen(link, sign, window))
        return true;

    // The reset the host sent may not have reached the decoder whole: the
    // line was switched to our rate while it was still on its way (an
    // adapter's buffer, a busy machine), or the boot window passed before
    // we were scheduled. The decoder then never listens. One more entry, by
    // the host's own command at the decoder's rate, held long enough to be
    // taken at that rate, gives it its window again.
    const std::string command = Utf8FromWide(host_->GetEntryCommand());
    if (!command.empty()) {
        // A line break first: what the decoder heard garbled (the lost reset,
        // our signs at the wrong rate) becomes a line of its own, ignored.
        const std::string entry = "\n\r" + command;
        link->SetParams(kDecoderBaud, 0, 8, 0, 0);
        link->Write(reinterpret_cast<const uint8_t *>(entry.data()), static_cast<int32_t>(entry.size()));
        Pause(kEntryHoldMs);
        link->SetParams(TimeoutField(BaudRate, 19200, 1), 0, 8, 0, 0);
        link->Purge();
        decoder_.Reset();
        if (SendSignAndListen(link, sign, window))
            return true;
    }
    Say("No answer from the bootloader on " + portPath_ + " after " + std::to_string(window) + " ms", kOutputError);
    return false;
}

bool Bootloader::SendSignAndListen(IBootloaderLink *link, const std::string &sign, int32_t window)
{
    // The decoder needs a moment after its reset before its bootloader
    // listens, so the sign is repeated across the whole window.
    const int32_t repeats = TimeoutField(BootSignRepeats, 10, 1);
    const auto start = Clock::now();
    for (int32_t i = 0; i < repeats; ++i) {
        link->Write(reinterpret_cast<const uint8_t *>(sign.data()), static_cast<int32_t>(sign.size()));
        const auto until = start + std::chrono::milliseconds(static_cast<int64_t>(window) * (i + 1) / repeats);
        const std::optional<Frame> hello = AwaitFrame(link, static_cast<int32_t>(std::max<int64_t>(MsUntil(until), 0)),
                                                      0, true);
        if (!hello)
            continue;
        const std::optional<HelloInfo> info = ParseHello(hello->payload);
        if (!info)
            throw EBootloader("The bootloader on " + portPath_ + " sent a handshake this library cannot read (" +
                              std::to_string(hello->payload.size()) + " bytes)");
        if (info->protocolVersion != 1 && info->protocolVersion != 2)
            throw EBootloader("The bootloader on " + portPath_ + " speaks protocol version " +
                              std::to_string(info->protocolVersion) + "; this library speaks versions 1 and 2");
        device_ = IntfPtr<BootDevice>::Adopt(new BootDevice(*info));
        return true;
    }
    return false;
}

bool Bootloader::Unlock()
{
    if (!device_->Hello().needsPassword) {
        device_->SetUnlocked(true);
        return true;
    }
    const std::string password = Utf8FromWide(host_->GetPassword());
    if (password.empty()) {
        Say("The bootloader needs a password and none was given", kOutputError);
        return false;
    }
    const Frame reply = Exchange(frametype::Password, password,
                                 TimeoutField(AckMs, 250, 1) + LineMs(password.size() + 2 * kFrameOverhead + 1),
                                 "the password");
    const uint8_t status = StatusOf(reply);
    if (status == bootstatus::Denied) {
        Say("The bootloader did not accept the password", kOutputError);
        return false;
    }
    if (status != bootstatus::Ok)
        throw EBootloader(std::string("The bootloader refused the password: ") + BootStatusText(status));
    device_->SetUnlocked(true);
    return true;
}

std::optional<Frame> Bootloader::AwaitFrame(IBootloaderLink *link, int32_t waitMs, uint8_t seq, bool hello)
{
    // Anything else is a late answer to an earlier attempt or a repeated handshake.
    return AwaitFrameIf(link, waitMs, [&](const Frame &frame) {
        return hello ? frame.type == frametype::Hello
                     : (frame.type == frametype::Ack || frame.type == frametype::Checksum) && frame.seq == seq;
    });
}

std::optional<Frame> Bootloader::AwaitFrameIf(IBootloaderLink *link, int32_t waitMs,
                                              const std::function<bool(const Frame &)> &wanted)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    const int32_t slice = TimeoutField(PollSliceMs, 10, 1);
    Frame frame;
    uint8_t buffer[1024];
    for (;;) {
        DecodeResult result;
        while ((result = decoder_.Next(frame)) != DecodeResult::NeedMore) {
            if (result == DecodeResult::Frame && wanted(frame))
                return frame;
        }
        const int64_t left = MsUntil(deadline);
        if (left <= 0)
            return std::nullopt;
        const int32_t got = link->Read(buffer, sizeof buffer, static_cast<int32_t>(std::min<int64_t>(left, slice)));
        decoder_.Feed(buffer, static_cast<size_t>(got));
        host_->ProcessMessages();
    }
}

void Bootloader::NoteRoundTrip(int64_t elapsedMs, size_t lineBytes)
{
    roundTrip_.Note(std::max<double>(0, static_cast<double>(elapsedMs - LineMs(lineBytes))));
}

void Bootloader::WritePagesInFlight(const FirmwareImage &image, uint32_t pages, uint32_t pageSize, int32_t ackMs,
                                    int window)
{
    const IntfPtr<IBootloaderLink> link = link_;
    const uint32_t size = static_cast<uint32_t>(image.payload.size());
    const int32_t attempts = 1 + TimeoutField(Retries, 15, 0);
    struct InFlight {
        uint32_t page;
        uint8_t seq;
        std::string frame;
        Clock::time_point sent;
        size_t ahead;     // frames queued before it on the line when sent
        int32_t attempt;
    };
    std::vector<InFlight> inFlight;
    const auto send = [&](InFlight &entry) {
        entry.seq = ++seq_;
        std::string payload;
        PutLe32(payload, image.loadAddress + entry.page * pageSize);
        payload.append(image.payload, static_cast<size_t>(entry.page) * pageSize, pageSize);
        entry.frame = EncodeFrame(frametype::Write, entry.seq, payload);
        entry.ahead = inFlight.size() - 1;
        entry.sent = Clock::now();
        link->Write(reinterpret_cast<const uint8_t *>(entry.frame.data()), static_cast<int32_t>(entry.frame.size()));
    };
    // An answer is due once the frames before it and itself have crossed the
    // line, plus the round trip and the bootloader's own time; and no sooner
    // than answers to pages in flight have been taking (a line slower than
    // its nominal rate, a server's buffers).
    RoundTrip answers;
    const auto dueMs = [&](const InFlight &entry) {
        const int64_t line = LineMs((entry.ahead + 1) * (entry.frame.size() + kFrameOverhead + 1));
        const int64_t wait = std::max<int64_t>(line + ackMs + RoundTripAllowanceMs(), answers.AllowanceMs() + ackMs);
        return MsUntil(entry.sent + std::chrono::milliseconds(wait));
    };
    uint32_t next = 0;
    uint32_t done = 0;
    int32_t reported = 0;
    while (done < pages) {
        if (cancelled_)
            throw EBootloader("Programming cancelled at " + Hex(image.loadAddress + next * pageSize, 6) +
                              "; the decoder stays in its bootloader");
        while (next < pages && inFlight.size() < static_cast<size_t>(window)) {
            inFlight.push_back(InFlight{next++, 0, {}, {}, 0, 1});
            send(inFlight.back());
        }
        auto oldest = std::min_element(inFlight.begin(), inFlight.end(),
                                       [&](const InFlight &a, const InFlight &b) { return dueMs(a) < dueMs(b); });
        const std::optional<Frame> reply = AwaitFrameIf(
            link.get(), static_cast<int32_t>(std::max<int64_t>(dueMs(*oldest), 0)), [&](const Frame &frame) {
                return frame.type == frametype::Ack &&
                       std::any_of(inFlight.begin(), inFlight.end(), [&](const InFlight &e) { return e.seq == frame.seq; });
            });
        InFlight *entry = &*oldest;
        if (reply)
            entry = &*std::find_if(inFlight.begin(), inFlight.end(), [&](const InFlight &e) { return e.seq == reply->seq; });
        const std::string what = "the page write at " + Hex(image.loadAddress + entry->page * pageSize, 6);
        if (reply && StatusOf(*reply) == bootstatus::Ok) {
            if (entry->attempt == 1)
                answers.Note(static_cast<double>(MsSince(entry->sent)));
            inFlight.erase(inFlight.begin() + (entry - inFlight.data()));
            ++done;
            progress_ = static_cast<int32_t>(done * 100ull / pages);
            if (progress_ / 10 > reported / 10) {
                reported = progress_;
                Say("Writing firmware: " + std::to_string(progress_) + " % (" +
                    std::to_string(std::min<uint64_t>(static_cast<uint64_t>(done) * pageSize, size)) + " of " +
                    std::to_string(size) + " bytes)");
            }
            continue;
        }
        if (reply && StatusOf(*reply) != bootstatus::BadChecksum)
            throw EBootloader("The bootloader refused " + what + ": " + BootStatusText(StatusOf(*reply)));
        if (entry->attempt >= attempts)
            throw EBootloader("The bootloader did not acknowledge " + what + " after " + std::to_string(attempts) +
                              " attempts (" + (reply ? "damaged on the line" : "no answer") + ")");
        Say("The bootloader reports " + what + " as " + (reply ? "damaged" : "unanswered") + " (attempt " +
                std::to_string(entry->attempt) + " of " + std::to_string(attempts) + "); sending it again",
            kOutputWarning);
        ++entry->attempt;
        // Sent again behind whatever is still in flight; a late answer to the
        // old copy carries the old number and is ignored.
        const auto index = entry - inFlight.data();
        InFlight again = std::move(*entry);
        inFlight.erase(inFlight.begin() + index);
        inFlight.push_back(std::move(again));
        send(inFlight.back());
    }
}

Frame Bootloader::Exchange(uint8_t type, const std::string &payload, int32_t waitMs, const std::string &what,
                           bool retry)
{
    const IntfPtr<IBootloaderLink> link = link_;
    if (!link)
        throw EBootloader("The serial link to the bootloader is closed");
    const uint8_t seq = ++seq_;
    const std::string frame = EncodeFrame(type, seq, payload);
    const int32_t attempts = retry ? 1 + TimeoutField(Retries, 15, 0) : 1;
    const char *problem = "no answer";
    for (int32_t attempt = 1; attempt <= attempts; ++attempt) {
        if (attempt > 1) {
            Pause(TimeoutField(RetryPauseMs, 10, 0));
            // A partial frame left from the failed attempt would only confuse the next one.
            decoder_.Reset();
        }
        const auto sent = Clock::now();
        link->Write(reinterpret_cast<const uint8_t *>(frame.data()), static_cast<int32_t>(frame.size()));
        const std::optional<Frame> reply = AwaitFrame(link.get(), waitMs + RoundTripAllowanceMs(), seq, false);
        if (reply && attempt == 1)
            NoteRoundTrip(MsSince(sent), frame.size() + reply->payload.size() + kFrameOverhead);
        if (reply && StatusOf(*reply) != bootstatus::BadChecksum)
            return *reply;
        problem = reply ? "damaged on the line" : "no answer";
        if (attempt < attempts)
            Say("The bootloader reports " + what + " as " + (reply ? "damaged" : "unanswered") + " (attempt " +
                    std::to_string(attempt) + " of " + std::to_string(attempts) + "); sending it again",
                kOutputWarning);
    }
    throw EBootloader("The bootloader did not acknowledge " + what + " after " + std::to_string(attempts) +
                      (attempts == 1 ? " attempt (" : " attempts (") + problem + ")");
}

uint32_t Bootloader::DeviceCrc(uint32_t start, uint32_t length, int32_t waitMs)
{
    const Frame reply = Exchange(frametype::Verify, EncodeRange(start, length), waitMs,
                                 "the checksum request for " + std::to_string(length) + " bytes at " + Hex(start, 6));
    if (reply.type != frametype::Checksum || reply.payload.size() != 4)
        throw EBootloader(std::string("The bootloader refused the checksum request: ") +
                          BootStatusText(StatusOf(reply)));
    return GetLe32(reply.payload, 0);
}

FirmwareImage Bootloader::LoadImage(const WideString &name, const char *what)
{
    if (name.empty())
        throw EBootloader(std::string("The host gave no ") + what + " file name");
    const std::string path = Utf8FromWide(name);
    const std::string bytes = ReadWholeFile(path);
    try {
        return ParseFirmwareContainer(bytes);
    } catch (const EFirmwareFile &e) {
        throw EBootloader(e.Message() + " (" + path + ")");
    }
}

void Bootloader::Program(int32_t first, int32_t count)
{
    if (first != -1 || count != -1)
        throw EBootloader("Only whole images are written (arguments -1, -1); got first " + std::to_string(first) +
                          ", count " + std::to_string(count));
    RequireConnected("programming");
    const WideString eeprom = host_->GetEepromFileName();
    if (!eeprom.empty())
        throw EBootloader("This decoder has no EEPROM to write; the EEPROM image " + Utf8FromWide(eeprom) +
                          " was not used");

    // Everything about the file and the device is checked before the first erase.
    const FirmwareImage image = LoadImage(host_->GetFlashFileName(), "firmware");
    const HelloInfo &h = device_->Hello();
    if (image.target != h.target)
        throw EBootloader("The firmware is for " + image.target + ", the decoder is a " + h.target +
                          "; nothing was written");
    if ((h.flags & 1) && (h.flags & 2))
        throw EBootloader("The decoder takes only encrypted FLASH data and this firmware file is not encrypted");
    const uint32_t pageSize = h.pageSize;
    if (pageSize == 0 || pageSize + 4 > h.maxPayload || pageSize + 4 > kMaxFramePayload)
        throw EBootloader("The bootloader reports an unusable page size of " + std::to_string(pageSize) + " bytes");
    const uint64_t end = static_cast<uint64_t>(image.loadAddress) + image.payload.size();
    if (image.loadAddress % pageSize != 0 || end > h.flashSize)
        throw EBootloader("The firmware (" + std::to_string(image.payload.size()) + " bytes at " +
                          Hex(image.loadAddress, 6) + ") does not fit the decoder's " + std::to_string(h.flashSize) +
                          " bytes of flash");

    const IntfPtr<IBootloaderLink> link = link_;
    cancelled_ = false;
    progress_ = 0;
    link->ResetCounters();
    const auto started = Clock::now();
    auto finish = [&] {
        link->GetCounters(wireSent_, wireReceived_);
        if (state_ == kStateWorking)
            SetState(link_ ? kStateConnected : kStateIdle);
    };
    try {
        SetState(kStateWorking);
        const uint32_t size = static_cast<uint32_t>(image.payload.size());
        const uint32_t pages = (size + pageSize - 1) / pageSize;
        const int32_t ackMs = TimeoutField(AckMs, 250, 1);
        const int32_t perPageMs = TimeoutField(PerPageMs, 10, 0);
        const int32_t longWaitMs = ackMs + perPageMs * static_cast<int32_t>(pages) + LineMs(3 * kFrameOverhead + 32);
        Say("Writing firmware " + image.version + " (" + std::to_string(size) + " bytes) into the " + h.target +
            " on " + portPath_);

        const Frame erased = Exchange(frametype::Erase, EncodeRange(image.loadAddress, pages * pageSize), longWaitMs,
                                      "the erase of " + std::to_string(pages) + " pages");
        if (StatusOf(erased) != bootstatus::Ok)
            throw EBootloader(std::string("The bootloader refused to erase the flash: ") +
                              BootStatusText(StatusOf(erased)));

        int32_t reported = 0;
        if (h.protocolVersion >= 2 && h.window >= 2)
            WritePagesInFlight(image, pages, pageSize, ackMs, h.window);
        else
        for (uint32_t page = 0; page < pages; ++page) {
            if (cancelled_)
                throw EBootloader("Programming cancelled at " + Hex(image.loadAddress + page * pageSize, 6) +
                                  "; the decoder stays in its bootloader");
            const uint32_t address = image.loadAddress + page * pageSize;
            std::string payload;
            PutLe32(payload, address);
            payload.append(image.payload, static_cast<size_t>(page) * pageSize, pageSize);
            const std::string what = "the page write at " + Hex(address, 6);
            const Frame written = Exchange(frametype::Write, payload,
                                           ackMs + LineMs(payload.size() + 2 * kFrameOverhead + 1), what);
            if (StatusOf(written) != bootstatus::Ok)
                throw EBootloader("The bootloader refused " + what + ": " + BootStatusText(StatusOf(written)));
            progress_ = static_cast<int32_t>((page + 1) * 100ull / pages);
            if (progress_ / 10 > reported / 10) {
                reported = progress_;
                Say("Writing firmware: " + std::to_string(progress_) + " % (" +
                    std::to_string(std::min<uint64_t>(static_cast<uint64_t>(page + 1) * pageSize, size)) + " of " +
                    std::to_string(size) + " bytes)");
            }
        }

        if (TimeoutField(VerifyAfterWrite, 1, 0) != 0) {
            const uint32_t crc = DeviceCrc(image.loadAddress, size, longWaitMs);
            if (crc != image.crc)
                throw EBootloader("Verification failed: the decoder holds CRC-32 " + Hex(crc, 8) + " for the " +
                                  std::to_string(size) + " bytes written, the image has " + Hex(image.crc, 8));
            Say("Verified: CRC-32 " + Hex(crc, 8) + " over " + std::to_string(size) + " bytes");
        }

        FinishRequest done{image.loadAddress, size, image.crc, image.version};
        const Frame finished = Exchange(frametype::Finish, EncodeFinish(done), longWaitMs, "the completion");
        if (StatusOf(finished) != bootstatus::Ok)
            throw EBootloader(std::string("The bootloader did not accept the written firmware: ") +
                              BootStatusText(StatusOf(finished)));
        device_->SetApplication(size, image.version);

        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        char took[32];
        std::snprintf(took, sizeof took, "%.1f", seconds);
        Say("Firmware " + image.version + " written: " + std::to_string(size) + " bytes in " + took + " s");
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void Bootloader::Verify(int32_t first, int32_t count)
{
    if (first != -1 || count != -1)
        throw EBootloader("Only whole images are verified (arguments -1, -1); got first " + std::to_string(first) +
                          ", count " + std::to_string(count));
    RequireConnected("verifying");
    const FirmwareImage image = LoadImage(host_->GetImageFileName(), "image");
    const HelloInfo &h = device_->Hello();
    if (image.target != h.target)
        throw EBootloader("The image is for " + image.target + ", the decoder is a " + h.target);
    const uint32_t size = static_cast<uint32_t>(image.payload.size());
    const uint32_t pages = h.pageSize ? (size + h.pageSize - 1) / h.pageSize : 1;
    try {
        SetState(kStateWorking);
        const uint32_t crc = DeviceCrc(image.loadAddress, size,
                                       TimeoutField(AckMs, 250, 1) +
                                           TimeoutField(PerPageMs, 10, 0) * static_cast<int32_t>(pages) +
                                           LineMs(3 * kFrameOverhead + 16));
        if (crc != image.crc)
            throw EBootloader("The decoder's flash differs from the image: CRC-32 " + Hex(crc, 8) + ", the image has " +
                              Hex(image.crc, 8));
        Say("The decoder holds the image " + image.version + " (CRC-32 " + Hex(crc, 8) + ")");
    } catch (...) {
        if (state_ == kStateWorking)
            SetState(link_ ? kStateConnected : kStateIdle);
        throw;
    }
    if (state_ == kStateWorking)
        SetState(link_ ? kStateConnected : kStateIdle);
}

void Bootloader::Leave()
{
    try {
        const Frame reply = Exchange(frametype::Leave, std::string(),
                                     TimeoutField(AckMs, 250, 1) + LineMs(2 * kFrameOverhead + 1),
                                     "the command to start the firmware", false);
        // Quiet when the firmware starts: the host's last word on a run
        // ("Firmware OK") stays in its status line.
        if (StatusOf(reply) != bootstatus::Ok)
            Say(std::string("The decoder stays in its bootloader: ") + BootStatusText(StatusOf(reply)),
                kOutputWarning);
    } catch (const std::exception &e) {
        Say(e.what(), kOutputWarning);
    }
    // Let the command leave the line before the port closes.
    Pause(TimeoutField(LeaveLingerMs, 20, 0));
}

void Bootloader::Disconnect()
{
    try {
        // Disconnect from inside a running Program (through the host's
        // message processing) must not start a second exchange on the line.
        if (link_ && link_->IsOpen() && state_ == kStateConnected)
            Leave();
    } catch (...) {
    }
    CloseLink();
    device_->SetUnlocked(false);
    try {
        SetState(kStateIdle);
    } catch (...) {
        // Disconnect is the closing step of the host's procedure; a failing
        // callback must not stop the port from being reopened.
    }
}

void Bootloader::GetWireCounters(int64_t &sent, int64_t &received)
{
    if (state_ == kStateWorking && link_) {
        link_->GetCounters(sent, received);
        return;
    }
    sent = wireSent_;
    received = wireReceived_;
}

IBootloaderLink *Bootloader::GetLink()
{
    if (!link_)
        return nullptr;
    link_->AddRef();
    return link_.get();
}

IBootloaderDevice *Bootloader::GetDevice()
{
    device_->AddRef();
    return device_.get();
}
