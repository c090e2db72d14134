#include "chunkdecoder.h"

#include "convert.h"
#include "httperrors.h"
#include "resourcestring.h"

#include <algorithm>
#include <limits>

void ChunkDecoder::Reset()
{
    *this = ChunkDecoder();
}

uint64_t ChunkDecoder::ParseSizeLine(const std::string &line) const
{
    // The size ends at a blank; a ";" starts an extension, which the size
    // does not include either (otherwise "1a;name=x" would end the body).
    const size_t end = line.find_first_of(" \t;");
    const std::string size = line.substr(0, end);
    if (size.empty())
        return 0;
    uint64_t value = 0;
    for (const char c : size) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return 0;  // not a number: counts as the last chunk
        value = (value << 4) | static_cast<uint64_t>(digit);
    }
    if (size.size() > 16 || value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        const std::string shown = size.size() > 40 ? size.substr(0, 40) + "..." : size;
        throw EHttpInvalidReply(FormatMessageArg(
            TranslateResourceString("Invalid chunk size '%s'"), shown));
    }
    return value;
}

ChunkDecoder::StepResult ChunkDecoder::Step(const char *data, size_t length)
{
    StepResult step;
    if (length == 0 || state_ == Stage::Done)
        return step;

    if (state_ == Stage::Data) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(length, remaining_));
        step.consumed = take;
        step.data = data;
        step.dataLength = take;
        remaining_ -= take;
        if (remaining_ == 0) {
            step.chunkFinished = true;
            state_ = Stage::DataEnd;
        }
        return step;
    }

    step.consumed = lineReader_.Feed(data, length);
    if (!lineReader_.Ready())
        return step;
    const std::string line = lineReader_.Line();
    lineReader_.Clear();
    switch (state_) {
    case Stage::SizeLine:
        chunkSize_ = ParseSizeLine(line);
        remaining_ = chunkSize_;
        if (chunkSize_ == 0) {
            state_ = Stage::Trailer;
        } else {
            state_ = Stage::Data;
            step.chunkStarted = true;
        }
        break;
    case Stage::DataEnd:
        state_ = Stage::SizeLine;
        break;
    case Stage::Trailer:
        // Trailer fields are skipped; the empty line ends the body, so no
        // trailer bytes are left behind to be misread as the next reply.
        if (line.empty())
            state_ = Stage::Done;
        break;
    default:
        break;
    }
    return step;
}
