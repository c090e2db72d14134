#pragma once

#include "httpheaderinfo.h"
#include "httplinereader.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Reads a reply's status line and header block from bytes as they arrive;
// it does no I/O. Interim 1xx heads (except 101) are skipped. Feed() stops
// right after the empty line that ends the final block, so the bytes after
// it (the body) stay with the caller.
class HttpReplyReader {
public:
    static constexpr size_t kMaxHeaderBlock = 300 * 1024;
    static constexpr size_t kMaxHeaderLines = 5000;

    // Returns how many bytes were taken. Raises EConvertError when the
    // status code is not a number, EHttpInvalidReply when a limit is broken.
    size_t Feed(const char *data, size_t length);

    bool Done() const { return done_; }
    int32_t ResponseCode() const { return responseCode_; }
    // The status line without its first word: "404 Not Found".
    const std::string &ResponseText() const { return responseText_; }
    // Characters 6 to 8 of the status line: "1.1" or "1.0".
    const std::string &ResponseVersion() const { return responseVersion_; }
    const THttpHeaderInfo &Headers() const { return headers_; }

    void Reset();

private:
    void TakeStatusLine(const std::string &line);
    void TakeHeaderLine(const std::string &line);
    void FilePending();

    HttpLineReader lineReader_;
    bool statusRead_ = false;
    bool done_ = false;
    size_t blockBytes_ = 0;
    size_t headerLines_ = 0;
    int32_t responseCode_ = 0;
    std::string responseText_;
    std::string responseVersion_;
    THttpHeaderInfo headers_;
    // A header stays pending until the next line shows it has no continuation.
    bool hasPending_ = false;
    std::string pendingName_;
    std::string pendingValue_;
    std::string pendingRawLine_;  // set for a line without a colon
};
