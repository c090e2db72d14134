#include "embedded.h"

#include "mappedfile.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

// The anchor the embedding tool patches. It must stay referenced (see
// EmbeddedMarker) or a static link would drop it; the marker text exists
// nowhere else in the program.
extern const unsigned char kEmbeddedCatalogueAnchor[kEmbeddedAnchorSize];
[[gnu::used]] const unsigned char kEmbeddedCatalogueAnchor[kEmbeddedAnchorSize] = {
    '9', 'B', '3', 'F', '6', 'A', '2', '1', '-', '5', 'C', '8', 'E', '-', '4', 'D', '1', '7',
    '-', 'B', '2', 'A', '0', '-', 'E', '4', '7', 'C', '1', 'D', '6', 'F', '8', '0', '5', '3',
    0, 0, 0, 0, 0, 0, 0, 0};

namespace {

uint64_t ReadLittle64(std::string_view bytes, uint64_t at)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<uint64_t>(i)]);
    return value;
}

std::string TrimmedName(std::string_view raw)
{
    // Blanks and padding NULs around the name are not part of it.
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!raw.empty() && blank(raw.front()))
        raw.remove_prefix(1);
    while (!raw.empty() && blank(raw.back()))
        raw.remove_suffix(1);
    std::string name(raw);
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

} // namespace

std::string EmbeddedMarker()
{
    // A volatile read keeps the compiler from folding the bytes into a
    // second copy of the marker somewhere in the code.
    const volatile unsigned char *anchor = kEmbeddedCatalogueAnchor;
    std::string marker(kEmbeddedMarkerSize, '\0');
    for (size_t i = 0; i < kEmbeddedMarkerSize; ++i)
        marker[i] = static_cast<char>(anchor[i]);
    return marker;
}

size_t FindEmbeddedAnchor(std::string_view bytes)
{
    const std::string marker = EmbeddedMarker();
    const std::boyer_moore_horspool_searcher searcher(marker.begin(), marker.end());
    const auto first = std::search(bytes.begin(), bytes.end(), searcher);
    if (first == bytes.end())
        return std::string_view::npos;
    if (std::search(first + 1, bytes.end(), searcher) != bytes.end())
        return std::string_view::npos;
    return static_cast<size_t>(first - bytes.begin());
}

EmbeddedIndex ParseEmbeddedIndex(std::string_view bytes)
{
    EmbeddedIndex index;
    const size_t anchor = FindEmbeddedAnchor(bytes);
    if (anchor == std::string_view::npos || bytes.size() - anchor < kEmbeddedAnchorSize)
        return index;
    const uint64_t size = bytes.size();
    uint64_t entry = ReadLittle64(bytes, anchor + kEmbeddedMarkerSize);
    std::set<uint64_t> seen;
    while (entry != 0 && entry <= size && size - entry >= 24 && seen.insert(entry).second) {
        const uint64_t next = ReadLittle64(bytes, entry);
        const uint64_t dataOffset = ReadLittle64(bytes, entry + 8);
        const uint64_t dataSize = ReadLittle64(bytes, entry + 16);
        const uint64_t nameStart = entry + 24;
        const uint64_t nameEnd = next == 0 ? size : next;
        if (nameEnd < nameStart || nameEnd > size || dataOffset > size || dataSize > size - dataOffset)
            break;
        const std::string name = TrimmedName(bytes.substr(nameStart, nameEnd - nameStart));
        if (!name.empty())
            index.emplace(name, EmbeddedFile{dataOffset, dataSize});
        entry = next;
    }
    return index;
}

EmbeddedIndex ScanProgramFile(const std::string &programPath)
{
    try {
        const MappedFile program = MappedFile::Map(programPath, 0, MappedFile::kToEnd, kProgramFileLimit);
        return ParseEmbeddedIndex(program.Bytes());
    } catch (const std::exception &) {
        return {};
    }
}
