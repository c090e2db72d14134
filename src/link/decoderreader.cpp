#include "decoderreader.h"

#include <cstring>

namespace decoder {

void DecoderReader::AssembleDecoderLines(std::string_view bytes)
{
    while (!bytes.empty()) {
        const void *cr = std::memchr(bytes.data(), CR, bytes.size());
        const size_t len = cr ? static_cast<size_t>(static_cast<const char *>(cr) - bytes.data()) : bytes.size();
        if (discarding_) {
            bytes.remove_prefix(cr ? len + 1 : len);
            discarding_ = !cr;
            continue;
        }
        const size_t room = MaxLineLength - buffer_.size();
        if (len >= room && !(cr && len == room)) {
            // Cut: the line ends at the limit; the rest of it goes.
            buffer_.append(bytes.substr(0, room));
            bytes.remove_prefix(room);
            discarding_ = true;
        } else if (!cr) {
            buffer_.append(bytes);
            return;
        } else {
            buffer_.append(bytes.substr(0, len));
            bytes.remove_prefix(len + 1);
        }
        // The handler may run nested event processing; take the line out first
        // so bytes arriving meanwhile start a fresh one.
        std::string line;
        line.swap(buffer_);
        HandleDecoderLine(std::move(line));
    }
}

void DecoderReader::HandleDecoderLine(std::string line)
{
    onLine_(InterpretDecoderLine(std::move(line)));
}

} // namespace decoder
