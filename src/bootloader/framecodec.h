#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Frames between the library and the decoder's bootloader, both ways:
//   0xA5, type, sequence, length (2 bytes, little endian), payload,
//   CRC-16 (little endian) over type .. end of payload.
// There is no byte stuffing: the length carries the frame, the start byte
// and the known type letters let a receiver find the next frame after noise.

constexpr uint8_t kFrameStart = 0xA5;
constexpr size_t kFrameOverhead = 7;
constexpr size_t kMaxFramePayload = 1028; // a 1 KiB page and its address

namespace frametype {
constexpr uint8_t Hello = 'H';    // bootloader -> host: identity, after the boot sign
constexpr uint8_t Password = 'P'; // host -> bootloader: unlocks writing
constexpr uint8_t Erase = 'E';    // start, length
constexpr uint8_t Write = 'W';    // address, page data
constexpr uint8_t Verify = 'V';   // start, length -> Checksum
constexpr uint8_t Finish = 'F';   // length, CRC-32, version text: marks the application valid
constexpr uint8_t Leave = 'L';    // start the application
constexpr uint8_t Ack = 'K';      // bootloader -> host: status byte
constexpr uint8_t Checksum = 'C'; // bootloader -> host: CRC-32 of a range
} // namespace frametype

bool IsKnownFrameType(uint8_t type);

struct Frame {
    uint8_t type = 0;
    uint8_t seq = 0;
    std::string payload;
};

std::string EncodeFrame(uint8_t type, uint8_t seq, std::string_view payload);

enum class DecodeResult {
    NeedMore,    // no complete frame buffered yet
    Frame,       // a good frame was taken out
    BadChecksum, // a frame failed its CRC; its unchecked type and sequence are given
};

// Incremental frame reader. It does no I/O: bytes go in with Feed, frames
// come out of Next, in the order they arrived.
class FrameDecoder {
public:
    void Feed(std::string_view bytes);
    void Feed(const uint8_t *data, size_t length)
    {
        Feed(std::string_view(reinterpret_cast<const char *>(data), length));
    }

    // Call until NeedMore. After BadChecksum only the start byte is dropped,
    // so a frame hidden behind a damaged one is still found.
    DecodeResult Next(Frame &out);

    // Drops a partial frame, e.g. when the line went quiet in the middle of one.
    void Reset() { buffer_.clear(); }
    bool Empty() const { return buffer_.empty(); }
    size_t Buffered() const { return buffer_.size(); }

    // Bytes thrown away while looking for a frame start, and frames with a wrong CRC.
    uint64_t SkippedBytes() const { return skipped_; }
    uint64_t BadFrames() const { return badFrames_; }

private:
    std::string buffer_;
    uint64_t skipped_ = 0;
    uint64_t badFrames_ = 0;
};
