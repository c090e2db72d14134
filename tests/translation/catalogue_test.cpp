#include "catalogue.h"
#include "mappedfile.h"
#include "text8bit.h"
#include "textforms.h"

#include "exception.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>

using namespace testsupport;

namespace {

// Keys 2, 4, 6 ... (zero-padded, so byte order is numeric order) leave room
// for absent keys before, between and after them.
// A long common lead makes every probe fall through to the bytes past it.
std::string Key(const std::string &lead, int number)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%06d", number);
    return lead + digits;
}

std::map<std::string, std::string> EvenKeys(int count, const std::string &lead)
{
    std::map<std::string, std::string> pairs;
    for (int i = 0; i < count; ++i)
        pairs[Key(lead, 2 * (i + 1))] = "t" + Key(lead, 2 * (i + 1));
    return pairs;
}

void ExpectFindsExactly(const MoCatalogue &catalogue, int count, const std::string &lead)
{
    for (int i = 0; i <= count; ++i) {
        const std::string absent = Key(lead, 2 * i + 1);
        EXPECT_FALSE(catalogue.Find(absent)) << "N=" << count << " absent " << absent;
        EXPECT_FALSE(catalogue.Find(absent.substr(0, absent.size() - 1)));
        if (i == count)
            break;
        const std::string key = Key(lead, 2 * (i + 1));
        const auto found = catalogue.Find(key);
        ASSERT_TRUE(found) << "N=" << count << " key " << key;
        EXPECT_EQ(*found, "t" + key);
    }
    EXPECT_FALSE(catalogue.Find(""));
    EXPECT_FALSE(catalogue.Find("a"));   // before every key
    EXPECT_FALSE(catalogue.Find("z"));   // after every key
}

} // namespace

TEST(MoCatalogue, SearchFindsEveryKeyAndNoAbsentOneForAnySize)
{
    // Powers of two, their neighbours and odd sizes all steer the clamped
    // probe differently.
    std::vector<int> sizes;
    for (int n = 0; n <= 70; ++n)
        sizes.push_back(n);
    for (int n : {127, 128, 129, 1000, 1023, 1024, 1025})
        sizes.push_back(n);
    for (int n : sizes) {
        for (bool bigEndian : {false, true}) {
            for (const std::string lead : {"k", "A shared lead of more than sixteen bytes "}) {
                const std::string bytes = BuildMo(EvenKeys(n, lead), bigEndian);
                const auto catalogue = MoCatalogue::Parse(bytes);
                ASSERT_TRUE(catalogue) << "N=" << n;
                EXPECT_EQ(catalogue->Count(), static_cast<uint32_t>(n));
                EXPECT_EQ(catalogue->BigEndian(), bigEndian);
                ExpectFindsExactly(*catalogue, n, lead);
            }
        }
    }
}

// The search written out with plain index arithmetic and full compares:
// the reference for which identifiers are probed, in which order.
std::optional<std::string_view> ReferenceFind(const MoCatalogue &catalogue, std::string_view key)
{
    const uint32_t n = catalogue.Count();
    if (n == 0)
        return std::nullopt;
    uint32_t probe = 1;
    while (probe <= n / 2)
        probe *= 2;
    for (uint32_t step = probe / 2;; step /= 2) {
        const int order = key.compare(catalogue.Original(probe - 1));
        if (order == 0)
            return catalogue.Translation(probe - 1);
        if (step == 0)
            return std::nullopt;
        if (order < 0)
            probe = probe > step ? probe - step : 1;
        else
            probe = n - probe > step ? probe + step : n;
    }
}

TEST(MoCatalogue, UnsortedCatalogueIsProbedInTheSameOrder)
{
    // In a file whose identifiers are out of order (or repeated), which
    // entry is found depends on exactly which ones are probed: the
    // precomputed search must agree with the arithmetic one everywhere.
    std::mt19937 random(777);
    for (int round = 0; round < 60; ++round) {
        const int n = 1 + static_cast<int>(random() % 70);
        std::map<std::string, std::string> pairs;
        const std::string lead = round % 2 == 0 ? "" : "Sixteen bytes or more of lead ";
        while (pairs.size() < static_cast<size_t>(n))
            pairs[lead + std::to_string(random() % 200)] = "t" + std::to_string(pairs.size());
        std::string bytes = BuildMo(pairs, round % 3 == 0);
        // Permute both tables alike, and sometimes copy one identifier over
        // another to make a duplicate.
        const bool big = round % 3 == 0;
        auto word = [&](size_t at) {
            uint32_t v = GetWord(bytes, at);
            return big ? __builtin_bswap32(v) : v;
        };
        std::vector<uint64_t> originals, translations;
        for (int i = 0; i < n; ++i) {
            originals.push_back(uint64_t{word(28 + 8 * i)} << 32 | word(32 + 8 * i));
            translations.push_back(uint64_t{word(28 + 8 * n + 8 * i)} << 32 | word(32 + 8 * n + 8 * i));
        }
        std::vector<int> order(n);
        for (int i = 0; i < n; ++i)
            order[i] = i;
        std::shuffle(order.begin(), order.begin() + random() % (n + 1), random);
        if (n > 2 && round % 4 == 1)
            order[random() % n] = order[random() % n];
        auto put = [&](size_t at, uint32_t v) { SetWord(bytes, at, big ? __builtin_bswap32(v) : v); };
        for (int i = 0; i < n; ++i) {
            put(28 + 8 * i, static_cast<uint32_t>(originals[order[i]] >> 32));
            put(32 + 8 * i, static_cast<uint32_t>(originals[order[i]]));
            put(28 + 8 * n + 8 * i, static_cast<uint32_t>(translations[order[i]] >> 32));
            put(32 + 8 * n + 8 * i, static_cast<uint32_t>(translations[order[i]]));
        }
        const auto catalogue = MoCatalogue::Parse(bytes);
        ASSERT_TRUE(catalogue);
        for (int k = 0; k < 200; ++k) {
            const std::string key = lead + std::to_string(k);
            const auto expected = ReferenceFind(*catalogue, key);
            const auto found = catalogue->Find(key);
            ASSERT_EQ(found.has_value(), expected.has_value()) << "round " << round << " key " << key;
            if (found) {
                EXPECT_EQ(found->data(), expected->data()) << "round " << round << " key " << key;
            }
        }
    }
}

TEST(MoCatalogue, ComparesBytesUnsigned)
{
    // "\xc3\xa4" (ä) sorts after "z" in byte order; a signed compare would
    // send the search the wrong way.
    const std::string bytes = BuildMo({{"a", "1"}, {"m", "2"}, {"z", "3"}, {"\xc3\xa4", "4"}, {"\xc3\xb6", "5"}});
    const auto catalogue = MoCatalogue::Parse(bytes);
    ASSERT_TRUE(catalogue);
    EXPECT_EQ(catalogue->Find("\xc3\xa4").value_or("-"), "4");
    EXPECT_EQ(catalogue->Find("\xc3\xb6").value_or("-"), "5");
    EXPECT_EQ(catalogue->Find("a").value_or("-"), "1");
    EXPECT_FALSE(catalogue->Find("\xc3"));
}

TEST(MoCatalogue, ReadsMsgfmtOutputInBothByteOrders)
{
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"Cannot open file %s", "Datei %s kann nicht ge\xc3\xb6" "ffnet werden"},
        {"Registry error", "Registry-Fehler"},
        {"two\nlines", "zwei\nZeilen"}};
    const std::string little = Msgfmt(pairs);
    const std::string big = SwapToBigEndian(little);
    // The swapped file is what msgfmt itself writes for big-endian machines.
    EXPECT_EQ(big, Msgfmt(pairs, "UTF-8", "--no-hash --endianness=big"));
    // The magic read as a little-endian word: 0x950412de for a little-endian
    // file (bytes de 12 04 95), 0xde120495 for a big-endian one (95 04 12 de).
    EXPECT_EQ(little.substr(0, 4), std::string("\xde\x12\x04\x95", 4));
    EXPECT_EQ(big.substr(0, 4), std::string("\x95\x04\x12\xde", 4));
    EXPECT_FALSE(MoCatalogue::Parse(little)->BigEndian());
    EXPECT_TRUE(MoCatalogue::Parse(big)->BigEndian());

    for (const std::string &bytes : {little, big, Msgfmt(pairs, "UTF-8", "")}) {
        const auto catalogue = MoCatalogue::Parse(bytes);
        ASSERT_TRUE(catalogue);
        EXPECT_EQ(catalogue->Count(), 4u); // msgfmt adds the "" header entry
        EXPECT_EQ(catalogue->Find("Registry error").value_or("-"), "Registry-Fehler");
        EXPECT_EQ(catalogue->Find("two\nlines").value_or("-"), "zwei\nZeilen");
        EXPECT_EQ(catalogue->Find("Cannot open file %s").value_or("-"), pairs[0].second);
        EXPECT_FALSE(catalogue->Find("Registry"));
    }
}

TEST(MoCatalogue, RejectsTruncatedAndHostileFiles)
{
    const std::string good = Msgfmt({{"alpha", "Alpha"}, {"beta", "Beta"}});
    const auto parsed = MoCatalogue::Parse(good);
    ASSERT_TRUE(parsed);
    // The last string's terminating NUL is not needed, every byte before it is.
    size_t needed = 0;
    for (uint32_t i = 0; i < parsed->Count(); ++i)
        for (std::string_view s : {parsed->Original(i), parsed->Translation(i)})
            needed = std::max(needed, static_cast<size_t>(s.data() + s.size() - good.data()));
    EXPECT_EQ(needed, good.size() - 1);
    for (size_t length = 0; length < needed; ++length)
        EXPECT_FALSE(MoCatalogue::Parse(std::string_view(good).substr(0, length))) << "length " << length;
    EXPECT_TRUE(MoCatalogue::Parse(std::string_view(good).substr(0, needed)));

    auto patched = [&](size_t at, uint32_t value) {
        std::string bytes = good;
        SetWord(bytes, at, value);
        return bytes;
    };
    const uint32_t originals = GetWord(good, 12);
    const uint32_t translations = GetWord(good, 16);
    EXPECT_FALSE(MoCatalogue::Parse(patched(0, 0x950412df)));          // magic
    EXPECT_FALSE(MoCatalogue::Parse(patched(8, 0xffffffff)));          // N far beyond the file
    EXPECT_FALSE(MoCatalogue::Parse(patched(8, 0x20000000)));          // N * 8 wraps in 32 bits
    EXPECT_FALSE(MoCatalogue::Parse(patched(12, 0xfffffff8)));         // table offset + size wraps
    EXPECT_FALSE(MoCatalogue::Parse(patched(16, static_cast<uint32_t>(good.size()))));
    EXPECT_FALSE(MoCatalogue::Parse(patched(originals + 8 + 4, 0xfffffff0)));     // string offset
    EXPECT_FALSE(MoCatalogue::Parse(patched(translations + 8, 0x7fffffff)));      // string length
    std::string wraps = patched(translations + 8, 0x20);
    SetWord(wraps, translations + 12, 0xfffffff0);                     // offset + length wraps
    EXPECT_FALSE(MoCatalogue::Parse(wraps));
    EXPECT_TRUE(MoCatalogue::Parse(patched(8, 0)));                    // N = 0 is a valid, empty catalogue
    EXPECT_FALSE(MoCatalogue::Parse(patched(8, 0))->Find("alpha"));
}

TEST(MoCatalogue, SurvivesRandomCorruption)
{
    // Under the sanitizer build this catches any read the bound checks miss.
    const std::string good = Msgfmt({{"alpha", "Alpha"}, {"beta", "Beta"}, {"gamma", "Gamma"}}, "UTF-8", "");
    std::mt19937 random(12345);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string bytes = good.substr(0, random() % (good.size() + 1));
        for (int flips = random() % 4; flips >= 0 && !bytes.empty(); --flips)
            bytes[random() % bytes.size()] = static_cast<char>(random());
        const auto catalogue = MoCatalogue::Parse(bytes);
        if (!catalogue)
            continue;
        ++accepted;
        for (uint32_t i = 0; i < catalogue->Count(); ++i) {
            const std::string_view original = catalogue->Original(i);
            ASSERT_LE(static_cast<size_t>(original.data() - bytes.data()) + original.size(), bytes.size());
            catalogue->Find(original);
        }
        catalogue->Find("beta");
    }
    EXPECT_GT(accepted, 0);
}

TEST(MappedFile, MapsRangesAndReportsFailures)
{
    TempDir dir;
    WriteBytes(dir / "data", std::string(10000, 'a') + "MIDDLE" + std::string(100, 'b'));
    EXPECT_EQ(MappedFile::Map(dir / "data", 10000, 6).Bytes(), "MIDDLE");     // offset not page-aligned
    EXPECT_EQ(MappedFile::Map(dir / "data", 10100, 100).Bytes(), std::string(6, 'b'));  // clipped at the end
    EXPECT_EQ(MappedFile::Map(dir / "data").Bytes().size(), 10106u);
    EXPECT_TRUE(MappedFile::Map(dir / "data", 20000).Bytes().empty());

    try {
        MappedFile::Map(dir / "missing");
        FAIL() << "no exception";
    } catch (const Exception &error) {
        EXPECT_EQ(error.Message(), "Cannot open file " + (dir / "missing"));
    }
    try {
        MappedFile::Map(dir.Path().string());
        FAIL() << "no exception";
    } catch (const Exception &error) {
        EXPECT_EQ(error.Message(), "Cannot create memory map on file " + dir.Path().string());
    }
}

TEST(TextForms, LineEndsAndUtf8Checks)
{
    EXPECT_EQ(RemoveCarriageReturns("a\r\nb\rc"), "a\nbc");
    EXPECT_EQ(RestoreCrLf("\na\nb\r\nc\n"), "\r\na\r\nb\r\nc\r\n");
    EXPECT_EQ(RestoreCrLf("plain"), "plain");

    EXPECT_TRUE(IsValidUtf8("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9d\x84\x9e"));
    EXPECT_TRUE(IsValidUtf8(""));
    for (const char *bad : {"\xe4", "\xc0\x80", "\xc3", "\xe0\x80\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                            "\xf5\x80\x80\x80", "\xe2\x82", "a\x80", "\xc3\x28"})
        EXPECT_FALSE(IsValidUtf8(bad)) << bad;

    // The decoder works eight bytes at a time: faults and line ends must be
    // seen wherever they fall in or across those blocks.
    for (size_t pad = 0; pad < 17; ++pad) {
        const std::string lead(pad, 'x');
        EXPECT_EQ(DecodeTranslation(lead), lead);
        EXPECT_EQ(DecodeTranslation(lead + "\n" + lead + "\r\n" + lead + "\n"),
                  lead + "\r\n" + lead + "\r\n" + lead + "\r\n");
        EXPECT_EQ(DecodeTranslation("\n" + lead), "\r\n" + lead);
        EXPECT_EQ(DecodeTranslation(lead + "Gr\xc3\xbc\xc3\x9f" "e\n\xe2\x82\xac" + lead),
                  lead + "Gr\xc3\xbc\xc3\x9f" "e\r\n\xe2\x82\xac" + lead);
        for (const char *bad : {"\xe4", "\xc0\x80", "\xc3", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80"}) {
            EXPECT_EQ(DecodeTranslation(lead + bad), "") << pad << " " << bad;
            EXPECT_EQ(DecodeTranslation(lead + bad + "\n" + lead), "") << pad << " " << bad;
        }
    }
}
