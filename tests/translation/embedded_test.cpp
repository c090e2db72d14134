#include "catalogueembedder.h"
#include "embedded.h"

#include "exception.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace testsupport;

namespace {

size_t CountOccurrences(const std::string &haystack, const std::string &needle)
{
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++count;
    return count;
}

// A stand-in program image: some code bytes, the anchor, more bytes.
std::string FakeProgram()
{
    return std::string(5000, '\x90') + EmbeddedMarker() + std::string(8, '\0') + std::string(3000, '\xcc');
}

void PutLittle64(std::string &bytes, size_t at, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        bytes[at + static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

} // namespace

TEST(EmbeddedCatalogues, MarkerAppearsExactlyOnceInTheBuiltProgram)
{
    const std::string self = ReadBytes("/proc/self/exe");
    ASSERT_FALSE(self.empty());
    const std::string marker = EmbeddedMarker();
    ASSERT_EQ(marker.size(), kEmbeddedMarkerSize);
    EXPECT_EQ(CountOccurrences(self, marker), 1u);
    const size_t at = FindEmbeddedAnchor(self);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(self.substr(at + kEmbeddedMarkerSize, 8), std::string(8, '\0'));  // as built
    EXPECT_TRUE(ParseEmbeddedIndex(self).empty());
}

TEST(EmbeddedCatalogues, ChainRoundTripsThroughTheEmbedder)
{
    const std::string program = FakeProgram();
    const std::vector<CatalogueToEmbed> catalogues = {
        {"locale/de/LC_MESSAGES/default.mo", std::string("first\0catalogue", 15)},
        {"locale/de/LC_MESSAGES/serial.mo", "second"},
        {"locale/fr/LC_MESSAGES/default.mo", ""}};
    const std::string embedded = EmbedCatalogues(program, catalogues);
    EXPECT_EQ(embedded.substr(0, 5000), program.substr(0, 5000));
    const EmbeddedIndex index = ParseEmbeddedIndex(embedded);
    ASSERT_EQ(index.size(), 3u);
    for (const auto &catalogue : catalogues) {
        const auto at = index.find(catalogue.name);
        ASSERT_NE(at, index.end()) << catalogue.name;
        EXPECT_EQ(embedded.substr(at->second.offset, at->second.size), catalogue.bytes);
    }

    try {
        EmbedCatalogues(embedded, catalogues);
        FAIL() << "embedded twice";
    } catch (const Exception &error) {
        EXPECT_EQ(error.Message(), "The program already carries embedded catalogues");
    }
    EXPECT_THROW(EmbedCatalogues(program + EmbeddedMarker(), catalogues), Exception);  // ambiguous anchor
    EXPECT_THROW(EmbedCatalogues(std::string(100, 'x'), catalogues), Exception);      // no anchor
    EXPECT_THROW(EmbedCatalogues(program, {{" padded", "x"}}), Exception);
}

TEST(EmbeddedCatalogues, HostileChainsEndWithoutHarm)
{
    const std::string marker = EmbeddedMarker();
    std::string program = FakeProgram();
    const size_t pointer = program.find(marker) + marker.size();

    // An entry pointing at itself must not loop.
    std::string looping = program + std::string(24, '\0') + "locale/x.mo";
    const uint64_t entry = program.size();
    PutLittle64(looping, pointer, entry);
    PutLittle64(looping, entry, entry);
    EXPECT_TRUE(ParseEmbeddedIndex(looping).empty());  // its name would run backwards

    // Data beyond the file, size that wraps, entry offset beyond the file,
    // and an anchor at the very end with no room for its offset.
    for (auto [offset, size] : {std::pair<uint64_t, uint64_t>{1u << 30, 4}, {10, ~uint64_t{0} - 4}}) {
        std::string bad = program + std::string(24, '\0') + "locale/x.mo";
        PutLittle64(bad, pointer, entry);
        PutLittle64(bad, entry + 8, offset);
        PutLittle64(bad, entry + 16, size);
        EXPECT_TRUE(ParseEmbeddedIndex(bad).empty());
    }
    std::string beyond = program;
    PutLittle64(beyond, pointer, ~uint64_t{0} - 10);
    EXPECT_TRUE(ParseEmbeddedIndex(beyond).empty());
    EXPECT_TRUE(ParseEmbeddedIndex(std::string(10, 'x') + marker + "\x01").empty());

    // Names are trimmed of blanks and may use backslashes.
    std::string padded = program + std::string(24, '\0') + "  locale\\de\\a.mo \t";
    PutLittle64(padded, pointer, entry);
    PutLittle64(padded, entry + 8, 0);
    PutLittle64(padded, entry + 16, 4);
    const EmbeddedIndex index = ParseEmbeddedIndex(padded);
    ASSERT_EQ(index.count("locale/de/a.mo"), 1u);
}

TEST(EmbeddedCatalogues, ToolMakesProgramFindItsCatalogueWithoutLocaleFolder)
{
    TempDir dir;
    const std::string program = dir / "probe";
    std::filesystem::copy_file(KZ_PROBE_PROGRAM, program);
    auto run = [&](const std::string &lang) {
        return RunCommand("env LANG=" + lang + " " + Quoted(program) + " 'Probe text' 'Other text' 2>&1");
    };
    EXPECT_EQ(run("de_DE.UTF-8").first, "Probe text\nOther text\n");

    WriteBytes(dir / "stage/locale/de/LC_MESSAGES/default.mo", Msgfmt({{"Probe text", "Probentext"}}));
    WriteBytes(dir / "stage/locale/fr/LC_MESSAGES/default.mo", Msgfmt({{"Probe text", "Texte d'essai"}}));
    const auto [toolOutput, toolStatus] =
        RunCommand(Quoted(KZ_EMBED_TOOL) + " " + Quoted(program) + " " + Quoted(dir / "stage") + " 2>&1");
    ASSERT_EQ(toolStatus, 0) << toolOutput;
    std::filesystem::remove_all(dir / "stage");

    const auto [german, status] = run("de_DE.UTF-8");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(german, "Probentext\nOther text\n");
    EXPECT_EQ(run("fr_FR").first, "Texte d'essai\nOther text\n");
    EXPECT_EQ(run("it_IT").first, "Probe text\nOther text\n");

    // The copy inside the program wins over one on disk.
    WriteBytes(dir / "locale/de/LC_MESSAGES/default.mo", Msgfmt({{"Probe text", "vom Datentraeger"}}));
    EXPECT_EQ(run("de").first, "Probentext\nOther text\n");

    // A second run is refused and leaves the program working.
    const auto again = RunCommand(Quoted(KZ_EMBED_TOOL) + " " + Quoted(program) + " " + Quoted(dir.Path().string()) +
                                  " locale/de/LC_MESSAGES/default.mo 2>&1");
    EXPECT_NE(again.second, 0);
    EXPECT_EQ(run("de").first, "Probentext\nOther text\n");
}
