#include "language.h"
#include "resourcestring.h"
#include "translator.h"

#include "exception.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;

namespace {

void PutCatalogue(const TempDir &dir, const std::string &language, const std::string &domain, const std::string &bytes)
{
    WriteBytes(dir / ("locale/" + language + "/LC_MESSAGES/" + domain + ".mo"), bytes);
}

std::string MessageOf(const std::function<void()> &action)
{
    try {
        action();
    } catch (const Exception &error) {
        return error.Message();
    }
    return "(no exception)";
}

// Sets an environment variable for one test and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name))
            old_ = old;
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> old_;
};

} // namespace

TEST(Language, ChosenFromLangThenMessageLocale)
{
    auto choose = [](std::map<std::string, std::string> env) {
        return ChooseLanguage([env](const char *name) -> const char * {
            const auto at = env.find(name);
            return at == env.end() ? nullptr : at->second.c_str();
        });
    };
    EXPECT_EQ(choose({{"LANG", "de_DE.UTF-8"}, {"LC_ALL", "fr_FR"}}), "de_DE");
    EXPECT_EQ(choose({{"LANG", ""}, {"LC_ALL", "fr_FR.ISO-8859-1"}, {"LC_MESSAGES", "it_IT"}}), "fr_FR");
    EXPECT_EQ(choose({{"LC_MESSAGES", "it_IT.UTF-8@euro"}}), "it_IT");
    EXPECT_EQ(choose({{"LC_ALL", "POSIX"}}), "C");
    EXPECT_EQ(choose({}), "C");
    EXPECT_EQ(choose({{"LANG", "de"}}), "de");

    EXPECT_EQ(LanguageFromLocaleId(1031), "de_DE");
    EXPECT_EQ(LanguageFromLocaleId(3082), "es_ES");
    EXPECT_EQ(LanguageFromLocaleId(1034), "es_ES");
    EXPECT_EQ(LanguageFromLocaleId(2057), "en_UK");
    EXPECT_EQ(LanguageFromLocaleId(4103), "de_LU");
    EXPECT_EQ(LanguageFromLocaleId(1041), "C");
    EXPECT_EQ(LanguageFromLocaleId(0), "C");
}

TEST(Translator, PrefersFullLanguageCodeThenTwoLetterFallback)
{
    TempDir dir;
    PutCatalogue(dir, "de", "default", Msgfmt({{"Registry error", "Registry-Fehler (de)"}}));
    TTranslator translator(dir / "locale", "de_DE");
    EXPECT_EQ(translator.TranslateText("default", "Registry error"), "Registry-Fehler (de)");
    EXPECT_EQ(translator.LoadedFile("default"), dir / "locale/de/LC_MESSAGES/default.mo");

    PutCatalogue(dir, "de_DE", "default", Msgfmt({{"Registry error", "Registry-Fehler (de_DE)"}}));
    translator.SetLanguage("de_DE");  // a change makes the domain look again
    EXPECT_EQ(translator.TranslateText("default", "Registry error"), "Registry-Fehler (de_DE)");
    EXPECT_EQ(translator.LoadedFile("default"), dir / "locale/de_DE/LC_MESSAGES/default.mo");
}

TEST(Translator, WithoutCatalogueTextsStayUnchangedAndItIsNotSoughtAgain)
{
    TempDir dir;
    TTranslator translator(dir / "locale", "de_DE");
    EXPECT_EQ(translator.TranslateText("default", "Stream write error"), "Stream write error");
    EXPECT_EQ(translator.TranslateText("serial", "Registry error"), "Registry error");

    // A catalogue appearing later is picked up only after a change.
    PutCatalogue(dir, "de", "default", Msgfmt({{"Stream write error", "Schreibfehler"}}));
    EXPECT_EQ(translator.TranslateText("default", "Stream write error"), "Stream write error");
    translator.BindTextDomain("default", dir / "locale");
    EXPECT_EQ(translator.TranslateText("default", "Stream write error"), "Schreibfehler");
    EXPECT_EQ(translator.TranslateText("default", "Not in the catalogue"), "Not in the catalogue");
    EXPECT_EQ(translator.TranslateText("default", ""), "");  // never the catalogue header

    translator.SetEnabled(false);
    EXPECT_EQ(translator.TranslateText("default", "Stream write error"), "Stream write error");
}

TEST(Translator, LineEndsBecomeCrLfAndCrIsIgnoredForLookup)
{
    TempDir dir;
    PutCatalogue(dir, "de", "default", Msgfmt({{"one\ntwo\n", "eins\nzwei\n"}, {"Socket Error # %d", "Socket-Fehler # %d"}}));
    TTranslator translator(dir / "locale", "de");
    EXPECT_EQ(translator.TranslateText("default", "one\ntwo\n"), "eins\r\nzwei\r\n");
    EXPECT_EQ(translator.TranslateText("default", "one\r\ntwo\r\n"), "eins\r\nzwei\r\n");
    EXPECT_EQ(translator.TranslateText("default", "Socket Error # %d"), "Socket-Fehler # %d");
    // Untranslated texts get the same line ends.
    EXPECT_EQ(translator.TranslateText("default", "a\nb\r\nc"), "a\r\nb\r\nc");
}

TEST(Translator, NonUtf8TranslationRaisesCouldNotTranslate)
{
    TempDir dir;
    PutCatalogue(dir, "de", "default",
                 Msgfmt({{"Registry error", "Registrierungsfehler \xe4"}, {"Stream write error", "Schreibfehler"}},
                        "ISO-8859-1"));
    TTranslator translator(dir / "locale", "de");
    EXPECT_EQ(MessageOf([&] { translator.TranslateText("default", "Registry error"); }),
              "Error: Could not translate Registry error. Probably because the mo file doesn't contain utf-8 "
              "encoded translations.");
    // Other entries of the same catalogue still work.
    EXPECT_EQ(translator.TranslateText("default", "Stream write error"), "Schreibfehler");

    // An empty translation fails the same way.
    TempDir other;
    PutCatalogue(other, "de", "default", BuildMo({{"Registry error", ""}}));
    TTranslator empty(other / "locale", "de");
    EXPECT_NE(MessageOf([&] { empty.TranslateText("default", "Registry error"); }).find("Could not translate"),
              std::string::npos);
}

TEST(Translator, BrokenCatalogueReportedOnceThenTreatedAsAbsent)
{
    TempDir dir;
    const std::string truncated = Msgfmt({{"Registry error", "Registry-Fehler"}}).substr(0, 40);
    PutCatalogue(dir, "de", "default", truncated);
    PutCatalogue(dir, "de", "serial", "not a catalogue at all");
    TTranslator translator(dir / "locale", "de_DE");
    const std::string name = dir / "locale/de/LC_MESSAGES/default.mo";
    EXPECT_EQ(MessageOf([&] { translator.TranslateText("default", "Registry error"); }),
              "This file is not a valid GNU gettext mo file: " + name);
    EXPECT_EQ(translator.TranslateText("default", "Registry error"), "Registry error");
    EXPECT_EQ(MessageOf([&] { translator.TranslateText("serial", "x"); }),
              "This file is not a valid GNU gettext mo file: " + (dir / "locale/de/LC_MESSAGES/serial.mo"));
}

TEST(Translator, CatalogueChangedOnDiskAfterLoadingNeverCrashes)
{
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < 500; ++i)
        pairs.emplace_back("Message " + std::to_string(1000 + i), "Meldung " + std::to_string(i) + std::string(40, '.'));
    PutCatalogue(dir, "de", "default", Msgfmt(pairs));
    const std::string name = dir / "locale/de/LC_MESSAGES/default.mo";
    // In a child: a fault here would take the whole test program with it.
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(20);
        TTranslator translator(dir / "locale", "de");
        const std::string before = translator.TranslateText("default", "Message 1499");
        int faults = before == "Meldung 499" + std::string(40, '.') ? 0 : 1;
        ::truncate(name.c_str(), 30);  // shortened in place
        faults += translator.TranslateText("default", "Message 1499") != before;
        WriteBytes(name, std::string(100000, 'x'));
        faults += translator.TranslateText("default", "Message 1000") != "Meldung 0" + std::string(40, '.');
        std::filesystem::remove(name);
        faults += translator.TranslateText("default", "Message 1499") != before;
        ::_exit(faults);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Translator, CatalogueAboveTheSizeBoundIsRefused)
{
    TempDir dir;
    PutCatalogue(dir, "de", "default", Msgfmt({{"Registry error", "Registry-Fehler"}}));
    const std::string name = dir / "locale/de/LC_MESSAGES/default.mo";
    std::filesystem::resize_file(name, kCatalogueFileLimit + 1);  // sparse
    TTranslator translator(dir / "locale", "de");
    EXPECT_EQ(MessageOf([&] { translator.TranslateText("default", "Registry error"); }), "Cannot open file " + name);
    EXPECT_EQ(translator.TranslateText("default", "Registry error"), "Registry error");
}

TEST(ResourceStrings, DefaultDomainFirstThenSerialElseUnchanged)
{
    TempDir dir;
    WriteBytes(dir / "program", "no anchor in here");
    PutCatalogue(dir, "de", "default", Msgfmt({{"Registry error", "Registry-Fehler"}}));
    PutCatalogue(dir, "de", "serial",
                 Msgfmt({{"Registry error", "Falsch: aus serial"}, {"Unable to open com port", "Port zu"}}));

    EXPECT_EQ(TranslateResourceString("Registry error"), "Registry error");  // not set up yet
    {
        ScopedEnv lang("LANG", "de_DE.UTF-8");
        InitializeTranslation(dir / "program");
    }
    AddResourceStringDomain("serial");
    AddResourceStringDomain("serial");
    EXPECT_EQ(TranslateResourceString("Registry error"), "Registry-Fehler");
    EXPECT_EQ(TranslateResourceString("Unable to open com port"), "Port zu");
    EXPECT_EQ(TranslateResourceString("Stream write error"), "Stream write error");
    EXPECT_EQ(TranslateText("serial", "Registry error"), "Falsch: aus serial");

    FinalizeTranslation();
    EXPECT_EQ(TranslateResourceString("Registry error"), "Registry error");
    EXPECT_EQ(TranslateText("default", "Registry error"), "Registry error");
}

TEST(ResourceStrings, LanguageFromMessageLocaleWhenLangIsEmpty)
{
    TempDir dir;
    WriteBytes(dir / "program", "");
    PutCatalogue(dir, "fr", "default", Msgfmt({{"Registry error", "Erreur de registre"}}));
    {
        ScopedEnv lang("LANG", "");
        ScopedEnv all("LC_ALL", nullptr);
        ScopedEnv messages("LC_MESSAGES", "fr_FR.UTF-8");
        InitializeTranslation(dir / "program");
    }
    EXPECT_EQ(TranslateResourceString("Registry error"), "Erreur de registre");
    FinalizeTranslation();
}
