#include "substitutionlist.h"

#include "cp1252.h"
#include "fileio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// Each test works in its own scratch directory as the working directory,
// since the window names the file relatively.
class SubstitutionFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kz_substi_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        old_ = fs::current_path();
        fs::current_path(dir_);
    }
    void TearDown() override
    {
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    static void Write(const std::string &name, const std::string &bytes)
    {
        std::ofstream(name, std::ios::binary) << bytes;
    }
    static std::string Read(const std::string &name) { return LoadFileBytes(name); }

    fs::path dir_, old_;
};

using Lines = std::vector<std::string>;

Lines Split(std::string_view text)
{
    Lines out;
    for (auto line : SubstitutionList::SplitLines(text))
        out.emplace_back(line);
    return out;
}

std::string MessageOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const Exception &e) {
        return e.Message();
    }
    return "(nothing raised)";
}

} // namespace

TEST(SubstitutionLines, EveryBreakFormEndsALine)
{
    struct Case {
        std::string text;
        Lines lines;
    };
    const Case cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\rb", {"a", "b"}},
        {"a\nb\n", {"a", "b"}},
        {"a\n\rb", {"a", "", "b"}},          // LF CR is two breaks
        {"a\r\r\nb", {"a", "", "b"}},
        {"\r\n", {""}},
        {"\n\n", {"", ""}},
        {"x=1\r\n\r\ny=2", {"x=1", "", "y=2"}},
        {"a\r\nb\0c\r\nd"s, {"a", "b"}},     // the first NUL ends the text
        {"\0a=1\r\n"s, {}},
        {"a\r\n\0"s, {"a"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Split(c.text), c.lines) << testing::PrintToString(c.text);
}

TEST(SubstitutionList, KeyIsTextBeforeFirstEqualsSign)
{
    SubstitutionList list;
    list.LoadFromText("12=a=b\r\nno sign\r\n\r\n=only value\r\n");
    ASSERT_EQ(list.Count(), 4u);
    EXPECT_EQ(list.Key(0), "12");
    EXPECT_EQ(list.Value(0), "a=b");
    EXPECT_EQ(list.Key(1), "");
    EXPECT_EQ(list.Value(1), "no sign");
    EXPECT_TRUE(list.IsEmptyEntry(2));
    EXPECT_FALSE(list.IsEmptyEntry(3));
    // Editing rewrites the stored text as key "=" value.
    list.SetKey(1, "7");
    EXPECT_EQ(list.Line(1), "7=no sign");
    list.SetValue(2, "x");
    EXPECT_EQ(list.Line(2), "=x");
}

TEST(SubstitutionList, KeysCollideRegardlessOfCaseButEmptyKeysNever)
{
    SubstitutionList list;
    list.LoadFromText("Wache\xC4=1");     // a Windows-1252 file
    // The message is UTF-8, as the catalogue text around the key is.
    EXPECT_EQ(MessageOf([&] { list.Add("wache\xE4=2"); }), "A key with the name of \"wache\xC3\xA4\" already exists");
    EXPECT_EQ(MessageOf([&] { list.Insert(0, "WACHE\xC4="); }), "A key with the name of \"WACHE\xC3\x84\" already exists");
    ASSERT_EQ(list.Count(), 1u);
    list.Add("\x8A=");                    // Š
    EXPECT_THROW(list.Add("\x9A=x"), EDuplicateKeyError);
    list.Add("ss=");                       // no folding of ß to ss
    list.Add("\xDF=");
    for (int i = 0; i < 1000; ++i)
        list.Add(i % 2 ? "=" : "");
    list.Add("free text without key");
    EXPECT_EQ(list.Count(), 1005u);
    EXPECT_FALSE(list.KeyTaken("", list.Count()));
    EXPECT_TRUE(list.KeyTaken("WACHE\xE4", list.Count()));
    EXPECT_FALSE(list.KeyTaken("WACHE\xE4", 0)); // its own entry

    SubstitutionList utf8;                // not from a file: UTF-8
    utf8.Add("Wache \xC3\x84=1");
    EXPECT_TRUE(utf8.KeyTaken("wache \xC3\xA4", utf8.Count()));
}

TEST(SubstitutionList, SettingAKeyKeepsTheIndexInStep)
{
    SubstitutionList list;
    list.LoadFromText("A=1\r\nB=2\r\n=3\r\n");
    EXPECT_EQ(MessageOf([&] { list.SetKey(2, "a"); }), "A key with the name of \"a\" already exists");
    EXPECT_EQ(MessageOf([&] { list.SetKey(2, "x=y"); }), "Key may not contain equals sign (\"=\")");
    EXPECT_EQ(list.Line(2), "=3");
    list.SetKey(0, "a"); // only the case of its own key changes
    list.SetKey(1, "C"); // frees "B"
    list.SetKey(2, "b");
    list.Delete(0);      // frees "a"
    list.Add("A=again");
    EXPECT_EQ(list.Lines(), (Lines{"C=2", "b=3", "A=again"}));
    list.SetKey(1, "");
    list.Add("B=");
    EXPECT_THROW(list.Add("c="), EDuplicateKeyError);
}

// Random edits against a plain list checked the slow way: the key index must
// agree after inserts, deletes and renames that shift and collide.
TEST(SubstitutionList, KeyIndexAgreesWithAPlainScan)
{
    std::mt19937 random(99);
    const std::string keys[] = {"", "a", "A", "b", "\xC4", "\xE4", "ab", "AB", "k1", "K2", "x", "y", "z"};
    auto pick = [&] { return keys[random() % std::size(keys)] + (random() % 3 ? "" : std::to_string(random() % 40)); };
    SubstitutionList list;
    Lines plain;
    auto takenPlain = [&](const std::string &key, size_t except) {
        if (key.empty())
            return false;
        for (size_t i = 0; i < plain.size(); ++i)
            if (i != except && cp1252::FoldCase(SubstitutionList::KeyOf(plain[i])) == cp1252::FoldCase(key))
                return true;
        return false;
    };
    for (int step = 0; step < 20000; ++step) {
        const std::string key = pick();
        const size_t at = plain.empty() ? 0 : random() % plain.size();
        const bool taken = takenPlain(key, plain.size());
        ASSERT_EQ(list.KeyTaken(key, list.Count()), taken) << step;
        switch (random() % 4) {
        case 0:
            if (!taken) {
                list.Insert(at, key + "=v");
                plain.insert(plain.begin() + at, key + "=v");
            } else {
                EXPECT_THROW(list.Insert(at, key + "=v"), EDuplicateKeyError);
            }
            break;
        case 1:
            if (!plain.empty() && plain.size() > 30) {
                list.Delete(at);
                plain.erase(plain.begin() + at);
            }
            break;
        case 2:
            if (!plain.empty()) {
                if (takenPlain(key, at)) {
                    EXPECT_THROW(list.SetKey(at, key), EDuplicateKeyError);
                } else {
                    list.SetKey(at, key);
                    plain[at] = key + "=" + std::string(SubstitutionList::ValueOf(plain[at]));
                }
            }
            break;
        default:
            if (!taken) {
                list.Add(key);
                plain.push_back(key);
            }
            break;
        }
        ASSERT_EQ(list.Lines(), plain) << step;
    }
}

TEST(SubstitutionList, IndexErrorsNameTheIndex)
{
    SubstitutionList list;
    EXPECT_EQ(MessageOf([&] { list.Delete(0); }), "List index out of bounds (0)");
    EXPECT_EQ(MessageOf([&] { list.Insert(1, "="); }), "List index out of bounds (1)");
    list.Add("=");
    EXPECT_EQ(MessageOf([&] { list.SetValue(3, "v"); }), "List index out of bounds (3)");
    EXPECT_EQ(list.Count(), 1u);
}

TEST(SubstitutionList, TextEndsEveryLineWithCrLf)
{
    SubstitutionList list;
    EXPECT_EQ(list.Text(), "");
    list.Add("=");
    EXPECT_EQ(list.Text(), "=\r\n");
    list.LoadFromText("a=1\nb=2\rc=3");
    EXPECT_EQ(list.Text(), "a=1\r\nb=2\r\nc=3\r\n");
}

TEST(SubstitutionList, LoadStopsAtDuplicateKeepingEarlierLines)
{
    SubstitutionList list;
    list.LoadFromText("old=1\r\n");
    EXPECT_EQ(MessageOf([&] { list.LoadFromText("12=Wache\r\n=\r\n34=RTW\r\n12=again\r\n56=NEF\r\n"); }),
              "A key with the name of \"12\" already exists");
    EXPECT_EQ(list.Lines(), (Lines{"12=Wache", "=", "34=RTW"}));
    EXPECT_THROW(list.LoadFromText("Fl\xFC=1\nFL\xDC=2\n"), EDuplicateKeyError);
    EXPECT_EQ(list.Lines(), (Lines{"Fl\xFC=1"}));
}

TEST(SubstitutionList, CountsFileLinesASaveWouldDropUnseen)
{
    const std::string file = "1=a\r\n2=b\r\n1=c\r\n4=d\r\n";
    SubstitutionList list;
    EXPECT_EQ(list.LinesUnseenIn(file), 4u);   // never loaded
    EXPECT_THROW(list.LoadFromText(file), EDuplicateKeyError);
    EXPECT_EQ(list.LinesUnseenIn(file), 2u);   // the load stopped at line 3
    list.LoadFromText("1=a\r\n2=b\r\n");
    list.Delete(1);
    list.SetValue(0, "changed");
    EXPECT_EQ(list.LinesUnseenIn("1=a\r\n2=b\r\n"), 0u);            // removed and changed on purpose
    EXPECT_EQ(list.LinesUnseenIn("1=a\r\n2=b\r\n9=new\r\n"), 1u);   // the file changed since
}

TEST(SubstitutionList, BytesAreKeptAsTheyAre)
{
    // Invalid UTF-8, the code page's high half and control bytes all stay.
    const std::string text = "\xC3\x28=\xFF\xFE\x80\r\n\x01\x7F=\t x \r\n \xE4 = \xC4 \r\n";
    SubstitutionList list;
    list.LoadFromText(text);
    ASSERT_EQ(list.Count(), 3u);
    EXPECT_EQ(list.Key(0), "\xC3\x28");
    EXPECT_EQ(list.Key(2), " \xE4 ");
    EXPECT_EQ(list.Value(2), " \xC4 ");
    EXPECT_EQ(list.Text(), text);
}

TEST(SubstitutionList, RandomBytesLoadToAStableListOrStopAtADuplicate)
{
    std::mt19937 random(4711);
    const std::string alphabet = "\r\n=aAbB\xC4\xE4 \x01\xFF"s + '\0';
    for (int round = 0; round < 300; ++round) {
        std::string text(random() % 200, '\0');
        for (auto &c : text)
            c = random() % 4 ? alphabet[random() % alphabet.size()] : static_cast<char>(random());
        SubstitutionList list;
        std::string duplicate;
        try {
            list.LoadFromText(text);
        } catch (const EDuplicateKeyError &e) {
            duplicate = e.Message();
        }
        for (const auto &line : list.Lines())
            ASSERT_EQ(line.find_first_of("\r\n\0"s), std::string::npos);
        if (!duplicate.empty()) {
            // The refused key must really collide with one that was kept.
            const auto open = duplicate.find('"'), close = duplicate.rfind('"');
            const std::string key = EncodeText(duplicate.substr(open + 1, close - open - 1), list.Encoding());
            EXPECT_TRUE(list.KeyTaken(key, list.Count())) << duplicate;
            continue;
        }
        SubstitutionList again;
        again.LoadFromText(list.Text());
        EXPECT_EQ(again.Lines(), list.Lines());
    }
}

TEST(SubstitutionList, LargeInputsLoad)
{
    SubstitutionList list;
    const std::string longLine = "K=" + std::string(1 << 20, 'v');
    list.LoadFromText(longLine);
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Value(0).size(), 1u << 20);

    std::string text;
    for (int i = 0; i < 100000; ++i)
        text += "FMS" + std::to_string(i) + "=Fahrzeug " + std::to_string(i) + "\r\n";
    list.LoadFromText(text);
    ASSERT_EQ(list.Count(), 100000u);
    EXPECT_EQ(list.Line(99999), "FMS99999=Fahrzeug 99999");
    EXPECT_EQ(list.Text(), text);
    // A collision at the very end is still found among 100,000 keys.
    text += "fms0=wieder\r\n";
    EXPECT_THROW(list.LoadFromText(text), EDuplicateKeyError);
    EXPECT_EQ(list.Count(), 100000u);
}

TEST_F(SubstitutionFile, SaveThenLoadGivesTheSameList)
{
    SubstitutionList list;
    list.LoadFromText("12=Wache 1\r\n=\r\nfree\r\n34=a=b\r\n\xC4=\xE4\r\n  = x \r\n");
    list.SaveToFile("substi.txt");
    EXPECT_EQ(Read("substi.txt"), list.Text());
    SubstitutionList loaded;
    loaded.LoadFromFile("substi.txt");
    EXPECT_EQ(loaded.Lines(), list.Lines());

    SubstitutionList empty;
    empty.SaveToFile("substi.txt");
    EXPECT_EQ(fs::file_size("substi.txt"), 0u);
    loaded.LoadFromFile("substi.txt");
    EXPECT_TRUE(loaded.Empty());
}

TEST_F(SubstitutionFile, LoadFailureLeavesTheListAlone)
{
    SubstitutionList list;
    list.Add("12=x");
    EXPECT_EQ(MessageOf([&] { list.LoadFromFile("substi.txt"); }), "Cannot open file substi.txt");
    fs::create_directory("dir");
    EXPECT_THROW(list.LoadFromFile("dir"), EFOpenError);
    EXPECT_EQ(list.Lines(), (Lines{"12=x"}));
}

TEST_F(SubstitutionFile, FailedSaveKeepsTheOldFile)
{
    const std::string old = "12=alt\r\n34=alt\r\n";
    Write("substi.txt", old);
    SubstitutionList list;
    for (int i = 0; i < 20000; ++i)
        list.Add(std::to_string(i) + "=neu");

    // A file size limit makes write() fail part-way with EFBIG; the limit is
    // set in a child so the test process keeps its own.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        try {
            list.SaveToFile("substi.txt");
        } catch (const EWriteError &e) {
            ::_exit(e.Message() == "Stream write error" ? 0 : 2);
        } catch (...) {
            ::_exit(3);
        }
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Read("substi.txt"), old);

    // A target that cannot be replaced: the temporary file must go again.
    fs::create_directory("blocked.txt");
    EXPECT_EQ(MessageOf([&] { list.SaveToFile("blocked.txt"); }), "Cannot create file blocked.txt");
    EXPECT_EQ(MessageOf([&] { list.SaveToFile("missing/substi.txt"); }), "Cannot create file missing/substi.txt");

    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator("."))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Lines{"blocked.txt", "substi.txt"}));
}
