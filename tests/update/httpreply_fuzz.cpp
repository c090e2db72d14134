// Arbitrary server replies through the reply reader and the chunk decoder,
// delivered in pieces whose sizes the input itself chooses.
#include "chunkdecoder.h"
#include "convert.h"
#include "httperrors.h"
#include "httpreplyreader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t piece = 1 + data[0] % 64;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;

    HttpReplyReader reader;
    size_t at = 0;
    try {
        while (at < length && !reader.Done()) {
            const size_t offer = std::min(piece, length - at);
            const size_t taken = reader.Feed(bytes + at, offer);
            if (taken > offer)
                __builtin_trap();
            at += taken;
            if (taken == 0)
                break;
        }
        if (!reader.Done())
            return 0;
        ChunkDecoder decoder;
        std::string body;
        while (at < length && !decoder.Done()) {
            const size_t offer = std::min(piece, length - at);
            const ChunkDecoder::StepResult step = decoder.Step(bytes + at, offer);
            if (step.consumed > offer || step.dataLength > step.consumed)
                __builtin_trap();
            if (step.dataLength > 0)
                body.append(step.data, step.dataLength);
            at += step.consumed;
            if (step.consumed == 0)
                __builtin_trap();  // a non-empty offer must always make progress
        }
        // Payload never exceeds the input it came from.
        if (body.size() > length)
            __builtin_trap();
    } catch (const EConvertError &) {
    } catch (const EHttpException &) {
    }
    return 0;
}
