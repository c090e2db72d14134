#include "httpreplyreader.h"

#include "convert.h"
#include "httperrors.h"
#include "resourcestring.h"

namespace {

std::string TrimLeftBlanks(const std::string &text)
{
    size_t start = 0;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t'))
        ++start;
    return text.substr(start);
}

} // namespace

void HttpReplyReader::Reset()
{
    *this = HttpReplyReader();
}

size_t HttpReplyReader::Feed(const char *data, size_t length)
{
    size_t taken = 0;
    while (!done_ && taken < length) {
        const size_t n = lineReader_.Feed(data + taken, length - taken);
        taken += n;
        blockBytes_ += n;
        if (blockBytes_ > kMaxHeaderBlock)
            throw EHttpInvalidReply(FormatMessageArg(
                TranslateResourceString("Reply header block larger than %d bytes"),
                std::to_string(kMaxHeaderBlock)));
        if (!lineReader_.Ready())
            break;
        const std::string line = lineReader_.Line();
        lineReader_.Clear();
        if (!statusRead_)
            TakeStatusLine(line);
        else
            TakeHeaderLine(line);
    }
    return taken;
}

void HttpReplyReader::TakeStatusLine(const std::string &line)
{
    statusRead_ = true;
    responseVersion_ = line.size() > 5 ? line.substr(5, 3) : std::string();
    const size_t blank = line.find(' ');
    responseText_ = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    const size_t codeEnd = responseText_.find(' ');
    responseCode_ = StrToInt(std::string_view(responseText_).substr(0, codeEnd));
}

void HttpReplyReader::TakeHeaderLine(const std::string &line)
{
    if (line.empty()) {
        FilePending();
        if (responseCode_ >= 100 && responseCode_ < 200 && responseCode_ != 101) {
            // An interim head (100 Continue, 103 Early Hints) only precedes
            // the reply. It counts against the same block budget, so a
            // server cannot send them for ever.
            const size_t blockBytes = blockBytes_;
            Reset();
            blockBytes_ = blockBytes;
            return;
        }
        done_ = true;
        return;
    }
    if (++headerLines_ > kMaxHeaderLines)
        throw EHttpInvalidReply(FormatMessageArg(
            TranslateResourceString("Reply has more than %d header lines"), std::to_string(kMaxHeaderLines)));

    if ((line[0] == ' ' || line[0] == '\t') && hasPending_) {
        std::string &value = pendingRawLine_.empty() ? pendingValue_ : pendingRawLine_;
        if (!value.empty() && value.back() != ' ' && value.back() != '\t')
            value += ' ';
        value += TrimLeftBlanks(line);
        return;
    }
    FilePending();
    hasPending_ = true;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) {
        pendingRawLine_ = line;
        return;
    }
    pendingName_ = line.substr(0, colon);
    pendingValue_ = TrimLeftBlanks(line.substr(colon + 1));
}

void HttpReplyReader::FilePending()
{
    if (!hasPending_)
        return;
    if (!pendingRawLine_.empty())
        headers_.ExtraHeaders.push_back(pendingRawLine_);
    else
        headers_.AddHeader(pendingName_, pendingValue_);
    hasPending_ = false;
    pendingName_.clear();
    pendingValue_.clear();
    pendingRawLine_.clear();
}
