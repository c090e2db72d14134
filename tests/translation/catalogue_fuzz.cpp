// Arbitrary bytes as a catalogue file and as a program image: parsing must
// never read outside the buffer, and every identifier a catalogue accepts
// must be found again by the search.

#include "catalogue.h"
#include "embedded.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    if (const auto catalogue = MoCatalogue::Parse(bytes)) {
        for (uint32_t i = 0; i < catalogue->Count() && i < 4096; ++i) {
            catalogue->Translation(i);
            catalogue->Find(catalogue->Original(i));
        }
        catalogue->Find("");
        catalogue->Find("Cannot open file %s");
        catalogue->Find(std::string_view("\xff\xff\xff\xff", 4));
    }
    for (const auto &[name, file] : ParseEmbeddedIndex(bytes))
        if (file.offset > size || file.size > size - file.offset || name.empty())
            std::abort();
    return 0;
}
