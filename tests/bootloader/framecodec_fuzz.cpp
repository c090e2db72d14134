#include "bootmessages.h"
#include "firmwarecontainer.h"
#include "framecodec.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// Feeds the input as a line stream in pieces, then as handshake, finish and
// container payloads: none of them may crash or read out of bounds.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    FrameDecoder decoder;
    const size_t step = size ? 1 + data[0] % 17 : 1;
    for (size_t at = 0; at < size; at += step) {
        decoder.Feed(bytes.substr(at, step));
        Frame f;
        while (decoder.Next(f) != DecodeResult::NeedMore) {
        }
    }
    (void)ParseHello(bytes);
    (void)ParseFinish(bytes);
    (void)ParseRange(bytes);
    try {
        (void)ParseFirmwareContainer(bytes);
    } catch (const EFirmwareFile &) {
    }
    return 0;
}
