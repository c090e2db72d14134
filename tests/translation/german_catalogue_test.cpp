#include "catalogue.h"
#include "filemessage.h"
#include "karvenzop_config.h"
#include "mappedfile.h"
#include "resourcestring.h"
#include "text8bit.h"
#include "textforms.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <string>

using namespace testsupport;

namespace {

// Sets LANG for one test and puts the old value back.
class ScopedLang {
public:
    explicit ScopedLang(const char *value)
    {
        if (const char *old = std::getenv("LANG"))
            saved_ = old;
        Set(value);
    }
    ~ScopedLang()
    {
        if (saved_)
            ::setenv("LANG", saved_->c_str(), 1);
        else
            ::unsetenv("LANG");
    }
    void Set(const char *value) { ::setenv("LANG", value, 1); }

private:
    std::optional<std::string> saved_;
};

std::string Conversions(std::string_view text)
{
    std::string found;
    for (size_t i = 0; i + 1 < text.size(); ++i)
        if (text[i] == '%') {
            found += text.substr(i, 2);
            ++i;
        }
    return found;
}

std::string Unescaped(const std::string &literal)
{
    std::string out;
    for (size_t i = 0; i < literal.size(); ++i) {
        if (literal[i] != '\\' || i + 1 == literal.size()) {
            out += literal[i];
            continue;
        }
        const char next = literal[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next;
    }
    return out;
}

} // namespace

TEST(GermanCatalogue, EveryEntryIsUtf8AndKeepsConversionsAndEdgeBlanks)
{
    const MappedFile file = MappedFile::Map(KZ_GERMAN_CATALOGUE);
    const auto catalogue = MoCatalogue::Parse(file.Bytes());
    ASSERT_TRUE(catalogue);
    ASSERT_GT(catalogue->Count(), 1u);
    for (uint32_t i = 0; i < catalogue->Count(); ++i) {
        const std::string_view id = catalogue->Original(i);
        const std::string_view text = catalogue->Translation(i);
        if (id.empty())
            continue;  // header
        SCOPED_TRACE(std::string(id));
        EXPECT_TRUE(IsValidUtf8(text));
        EXPECT_NE(text, id);
        EXPECT_EQ(Conversions(text), Conversions(id));
        EXPECT_EQ(id.front() == ' ', text.front() == ' ');
        EXPECT_EQ(id.back() == ' ', text.back() == ' ');
    }
}

TEST(GermanCatalogue, CoversEveryLiteralMessageRaisedInTheSources)
{
    const MappedFile file = MappedFile::Map(KZ_GERMAN_CATALOGUE);
    const auto catalogue = MoCatalogue::Parse(file.Bytes());
    ASSERT_TRUE(catalogue);

    const std::regex call(R"re((?:TranslateResourceString|TranslateMessage)\(\s*"((?:[^"\\]|\\.)*)"\s*\))re");
    std::set<std::string> messages;
    for (const auto &item : std::filesystem::recursive_directory_iterator(KZ_SOURCE_DIR)) {
        const auto extension = item.path().extension();
        if (!item.is_regular_file() || (extension != ".cpp" && extension != ".h") ||
            item.path().parent_path().filename() == "translation")
            continue;
        const std::string source = ReadBytes(item.path().string());
        for (std::sregex_iterator at(source.begin(), source.end(), call), end; at != end; ++at)
            messages.insert(Unescaped((*at)[1].str()));
    }
    EXPECT_FALSE(messages.empty());
    for (const std::string &message : messages)
        EXPECT_TRUE(catalogue->Find(message)) << "no German text for \"" << message << "\"";
}

TEST(GermanCatalogue, FoundBesideTheProgramForGermanLocales)
{
    const std::string program =
        (std::filesystem::path(KZ_GERMAN_CATALOGUE).parent_path() / "../../../translation_tests").lexically_normal().string();
    ScopedLang lang("de_DE.UTF-8");
    InitializeTranslation(program);
    EXPECT_EQ(TranslateResourceString("Cannot open file %s"), "Datei %s kann nicht ge\xc3\xb6" "ffnet werden");
    EXPECT_EQ(TranslateResourceString(" (win error code: %d)"), " (Fehlercode: %d)");
    EXPECT_EQ(TranslateResourceString("Operation would block. "), "Operation w\xc3\xbc" "rde blockieren. ");
    EXPECT_EQ(TranslateResourceString("Not a library message"), "Not a library message");
    // The file helpers below this library get the lookup through their hook.
    EXPECT_EQ(FileMessage("Cannot open file %s", "substi.txt"), "Datei substi.txt kann nicht ge\xc3\xb6" "ffnet werden");

    lang.Set("en_GB.UTF-8");
    InitializeTranslation(program);
    EXPECT_EQ(TranslateResourceString("Cannot open file %s"), "Cannot open file %s");
    FinalizeTranslation();
}

TEST(GermanCatalogue, FoundInTheInstalledLayoutUnlessACopyLiesBesideTheProgram)
{
    TempDir prefix;
    const std::filesystem::path bin = prefix.Path() / "bin";
    const std::string program = (bin / "KarvenZop").string();
    const auto installed = bin / KZ_CATALOGUE_DIR_FROM_PROGRAM / "de/LC_MESSAGES/default.mo";
    WriteBytes(installed.string(), Msgfmt({{"Cannot open file %s", "installiert: %s"}}));
    ScopedLang lang("de_DE.UTF-8");
    InitializeTranslation(program);
    EXPECT_EQ(TranslateResourceString("Cannot open file %s"), "installiert: %s");

    WriteBytes((bin / "locale/de/LC_MESSAGES/default.mo").string(), Msgfmt({{"Cannot open file %s", "daneben: %s"}}));
    InitializeTranslation(program);
    EXPECT_EQ(TranslateResourceString("Cannot open file %s"), "daneben: %s");
    FinalizeTranslation();
}
