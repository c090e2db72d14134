#include "substitutionlist.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

// Any bytes either load into a list that saves and reloads unchanged, or stop
// at a duplicate key; nothing else may happen.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    SubstitutionList list;
    try {
        list.LoadFromText(text);
    } catch (const EDuplicateKeyError &) {
        return 0;
    }
    for (const auto &line : list.Lines())
        if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            std::abort();
    SubstitutionList again;
    again.LoadFromText(list.Text());
    if (again.Lines() != list.Lines())
        std::abort();
    return 0;
}
