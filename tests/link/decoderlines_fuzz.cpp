// Arbitrary decoder bytes, cut into arbitrary pieces: the line assembly and
// the interpreter must never read outside a line, and every byte that is not
// a CR must come out in exactly one line or stay in the buffer.
#include "decoderreader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    size_t lines = 0;
    decoder::DecoderReader protocol([&lines](const decoder::DecoderLine &) { ++lines; });
    // The first byte chooses the piece size, so lines split across reads are explored.
    const size_t piece = 1 + data[0] % 17;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;
    size_t crs = 0;
    for (size_t i = 0; i < length; ++i)
        crs += bytes[i] == '\r';
    for (size_t at = 0; at < length; at += piece)
        protocol.AssembleDecoderLines(std::string_view(bytes + at, at + piece <= length ? piece : length - at));
    if (lines != crs)
        std::abort();
    return 0;
}
