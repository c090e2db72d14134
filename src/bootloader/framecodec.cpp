#include "framecodec.h"

#include "checksum.h"

bool IsKnownFrameType(uint8_t type)
{
    switch (type) {
    case frametype::Hello:
    case frametype::Password:
    case frametype::Erase:
    case frametype::Write:
    case frametype::Verify:
    case frametype::Finish:
    case frametype::Leave:
    case frametype::Ack:
    case frametype::Checksum:
        return true;
    default:
        return false;
    }
}

std::string EncodeFrame(uint8_t type, uint8_t seq, std::string_view payload)
{
    std::string out;
    out.reserve(payload.size() + kFrameOverhead);
    out.push_back(static_cast<char>(kFrameStart));
    out.push_back(static_cast<char>(type));
    out.push_back(static_cast<char>(seq));
    out.push_back(static_cast<char>(payload.size() & 0xFF));
    out.push_back(static_cast<char>((payload.size() >> 8) & 0xFF));
    out.append(payload);
    const uint16_t crc = Crc16(out.data() + 1, out.size() - 1);
    out.push_back(static_cast<char>(crc & 0xFF));
    out.push_back(static_cast<char>(crc >> 8));
    return out;
}

void FrameDecoder::Feed(std::string_view bytes)
{
    buffer_.append(bytes);
}

DecodeResult FrameDecoder::Next(Frame &out)
{
    size_t pos = 0;
    auto at = [&](size_t i) { return static_cast<uint8_t>(buffer_[pos + i]); };
    DecodeResult result = DecodeResult::NeedMore;
    for (;;) {
        // Hunt for a start byte followed by a plausible header.
        while (pos < buffer_.size() && at(0) != kFrameStart)
            ++pos;
        const size_t avail = buffer_.size() - pos;
        if (avail >= 2 && !IsKnownFrameType(at(1))) {
            ++pos;
            continue;
        }
        if (avail >= 5 && static_cast<size_t>(at(3) | (at(4) << 8)) > kMaxFramePayload) {
            ++pos;
            continue;
        }
        if (avail < 5)
            break;
        const size_t length = static_cast<size_t>(at(3) | (at(4) << 8));
        if (avail < length + kFrameOverhead)
            break;
        const uint16_t expected = static_cast<uint16_t>(at(5 + length) | (at(6 + length) << 8));
        out.type = at(1);
        out.seq = at(2);
        if (Crc16(buffer_.data() + pos + 1, length + 4) == expected) {
            out.payload.assign(buffer_, pos + 5, length);
            skipped_ += pos;
            buffer_.erase(0, pos + length + kFrameOverhead);
            return DecodeResult::Frame;
        }
        out.payload.clear();
        ++badFrames_;
        ++pos;
        result = DecodeResult::BadChecksum;
        break;
    }
    skipped_ += pos;
    buffer_.erase(0, pos);
    return result;
}
