// Arbitrary server bytes in arbitrary pieces: the parser must stay within
// its bounds, and pieces must not change what comes out.
#include "telnetparser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t piece = 1 + data[0] % 13;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;

    TelnetParser whole;
    std::string wholeData;
    std::vector<TelnetCommand> wholeCommands;
    whole.Feed(bytes, length, wholeData, wholeCommands);

    TelnetParser pieces;
    std::string pieceData;
    std::vector<TelnetCommand> pieceCommands;
    for (size_t at = 0; at < length; at += piece)
        pieces.Feed(bytes + at, at + piece <= length ? piece : length - at, pieceData, pieceCommands);

    if (wholeData != pieceData || wholeCommands.size() != pieceCommands.size() || wholeData.size() > length)
        std::abort();
    for (const TelnetCommand &command : wholeCommands)
        if (command.payload.size() > TelnetParser::kMaxPayload)
            std::abort();
    // What goes out escaped comes back as it was.
    const std::string wire = TelnetEscape(bytes, length);
    TelnetParser back;
    std::string backData;
    std::vector<TelnetCommand> backCommands;
    back.Feed(wire.data(), wire.size(), backData, backCommands);
    if (backData != std::string(bytes, length) || !backCommands.empty())
        std::abort();
    return 0;
}
