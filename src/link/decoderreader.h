#pragma once

#include "decoderline.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace decoder {

// The decoder's lines are under a hundred bytes; a line that reaches this
// size without a CR is noise or a fault, and is cut here.
constexpr size_t MaxLineLength = 64 * 1024;

// Bytes in, interpreted decoder lines out, in the order their CRs arrive.
class DecoderReader {
public:
    using LineHandler = std::function<void(const DecoderLine &)>;

    explicit DecoderReader(LineHandler onLine) : onLine_(std::move(onLine)) {}

    // Collects bytes into the receive line buffer; every CR completes a line,
    // which is interpreted and handed on at once. A partial line waits for the
    // next call. A line reaching MaxLineLength is handled at that length, once,
    // and its remaining bytes up to the next CR are dropped.
    void AssembleDecoderLines(std::string_view bytes);

    // Interprets one line (without its CR) and hands it on.
    void HandleDecoderLine(std::string line);

    void ClearBuffer()
    {
        buffer_.clear();
        discarding_ = false;
    }
    const std::string &Buffer() const { return buffer_; }

private:
    LineHandler onLine_;
    std::string buffer_;
    bool discarding_ = false; // in the tail of a cut line
};

} // namespace decoder
