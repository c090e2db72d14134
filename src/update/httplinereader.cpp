#include "httplinereader.h"

#include "convert.h"
#include "httperrors.h"
#include "resourcestring.h"

#include <cstring>

size_t HttpLineReader::Feed(const char *data, size_t length)
{
    if (ready_ || length == 0)
        return 0;
    const void *lf = std::memchr(data, '\n', length);
    const size_t take = lf ? static_cast<size_t>(static_cast<const char *>(lf) - data) + 1 : length;
    const size_t textLength = lf ? take - 1 : take;
    // One byte of slack for a CR that may still be followed by the LF.
    if (line_.size() + textLength > kMaxLineLength + 1)
        throw EHttpInvalidReply(FormatMessageArg(
            TranslateResourceString("Reply line longer than %d bytes"), std::to_string(kMaxLineLength)));
    line_.append(data, textLength);
    if (lf) {
        if (!line_.empty() && line_.back() == '\r')
            line_.pop_back();
        if (line_.size() > kMaxLineLength)
            throw EHttpInvalidReply(FormatMessageArg(
                TranslateResourceString("Reply line longer than %d bytes"), std::to_string(kMaxLineLength)));
        ready_ = true;
    }
    return take;
}

void HttpLineReader::Clear()
{
    line_.clear();
    ready_ = false;
}
