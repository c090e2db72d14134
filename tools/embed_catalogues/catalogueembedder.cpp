#include "catalogueembedder.h"

#include "embedded.h"
#include "exception.h"

#include <cstdint>

namespace {

void PutLittle64(std::string &out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

} // namespace

std::string EmbedCatalogues(std::string program, const std::vector<CatalogueToEmbed> &catalogues)
{
    const size_t anchor = FindEmbeddedAnchor(program);
    if (anchor == std::string::npos || program.size() - anchor < kEmbeddedAnchorSize)
        throw Exception("The program holds no single catalogue anchor");
    const size_t pointer = anchor + kEmbeddedMarkerSize;
    for (size_t i = 0; i < 8; ++i)
        if (program[pointer + i] != '\0')
            throw Exception("The program already carries embedded catalogues");
    if (catalogues.empty())
        return program;
    // The reader trims blanks around a name; one that has them would not match.
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    for (const auto &catalogue : catalogues)
        if (catalogue.name.empty() || blank(catalogue.name.front()) || blank(catalogue.name.back()))
            throw Exception("Catalogue name \"" + catalogue.name + "\" is empty or starts or ends with a blank");

    // Data first, then the chain, each entry's name running up to the next.
    std::vector<uint64_t> dataOffsets;
    for (const auto &catalogue : catalogues) {
        dataOffsets.push_back(program.size());
        program += catalogue.bytes;
    }
    std::vector<uint64_t> entryOffsets;
    uint64_t at = program.size();
    for (const auto &catalogue : catalogues) {
        entryOffsets.push_back(at);
        at += 24 + catalogue.name.size();
    }
    for (size_t i = 0; i < catalogues.size(); ++i) {
        PutLittle64(program, i + 1 < catalogues.size() ? entryOffsets[i + 1] : 0);
        PutLittle64(program, dataOffsets[i]);
        PutLittle64(program, catalogues[i].bytes.size());
        program += catalogues[i].name;
    }

    std::string first;
    PutLittle64(first, entryOffsets.front());
    program.replace(pointer, 8, first);
    return program;
}
