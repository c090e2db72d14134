// The Windows backends of the core: the safe save, catalogue mapping and
// language choice, and loading Bootloader.dll from the program's folder.
#include "bootloaderlibrary.h"
#include "fileio.h"
#include "language.h"
#include "mappedfile.h"
#include "resourcestring.h"
#include "serialerror.h"
#include "serialport.h"
#include "testhost.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <windows.h>

namespace fs = std::filesystem;

namespace {

class TempFolder {
public:
    TempFolder()
    {
        path_ = fs::temp_directory_path() / ("kz-win-" + std::to_string(GetCurrentProcessId()) + "-" +
                                             std::to_string(GetTickCount64()));
        fs::create_directories(path_);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }
    // The folder's entries, for a message that names what was left behind.
    // Wine's ReplaceFile leaves a backup of its own ("rf*.tmp") when it
    // fails; Windows does not, and it is not ours to remove.
    std::string Listing() const
    {
        std::string names;
        for (const auto &entry : fs::directory_iterator(path_)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("rf", 0) != 0)
                names += name + " ";
        }
        return names;
    }

private:
    fs::path path_;
};

std::string ProgramPath()
{
    char buffer[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    return std::string(buffer, n);
}

} // namespace

TEST(WinSafeSave, CreatesReplacesAndKeepsTheOldFileWhileTheTargetIsHeld)
{
    TempFolder dir;
    const std::string target = dir / "substi.txt";
    SaveFileBytes(target, "A=1\r\n");
    EXPECT_EQ(LoadFileBytes(target), "A=1\r\n");
    SaveFileBytes(target, "A=1\r\nB=2\r\n");
    EXPECT_EQ(LoadFileBytes(target), "A=1\r\nB=2\r\n");
    EXPECT_EQ(dir.Listing(), "substi.txt ");

    // Another program holds the file without sharing: neither the load nor
    // the save gets through, and the old contents survive the failed save.
    const HANDLE held = CreateFileA(target.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_THROW(LoadFileBytes(target), EFOpenError);
    EXPECT_THROW(SaveFileBytes(target, "lost"), EFCreateError);
    CloseHandle(held);
    EXPECT_EQ(LoadFileBytes(target), "A=1\r\nB=2\r\n");
    EXPECT_EQ(dir.Listing(), "substi.txt ");

    EXPECT_THROW(LoadFileBytes(dir / "absent.txt"), EFOpenError);
    EXPECT_THROW(SaveFileBytes(dir / "no-such-folder\\substi.txt", "x"), EFCreateError);

    // The window saves by the bare name, in its working folder, over the file there.
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(target.substr(0, target.find_last_of('\\')).c_str()));
    SaveFileBytes("substi.txt", "C=3\r\n");
    EXPECT_EQ(LoadFileBytes("substi.txt"), "C=3\r\n");
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(dir.Listing(), "substi.txt ");
}

TEST(WinMappedFile, MapsRangesPastTheAllocationGranularity)
{
    TempFolder dir;
    const std::string name = dir / "data.bin";
    std::string bytes(200000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 % 251);
    std::ofstream(name, std::ios::binary) << bytes;
    std::ofstream(dir / "empty.bin", std::ios::binary).flush();

    EXPECT_EQ(MappedFile::Map(name).Bytes(), bytes);
    EXPECT_EQ(MappedFile::Map(name, 70001, 1000).Bytes(), bytes.substr(70001, 1000));
    EXPECT_EQ(MappedFile::Map(name, 199990).Bytes(), bytes.substr(199990));
    EXPECT_TRUE(MappedFile::Map(dir / "empty.bin").Bytes().empty());
    try {
        MappedFile::Map(dir / "absent.mo");
        ADD_FAILURE() << "an absent file was mapped";
    } catch (const Exception &e) {
        EXPECT_EQ(e.Message(), "Cannot open file " + (dir / "absent.mo"));
    }
}

// The lane runs this program with LANG unset and the user locale German.
TEST(WinLanguage, WithoutLangTheUserDefaultLocaleDecides)
{
    const char *lang = std::getenv("LANG");
    if (lang != nullptr && *lang != '\0')
        GTEST_SKIP() << "LANG is set";
    char name[9] = {};
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, name, sizeof name);
    if (std::string(name) != "de")
        GTEST_SKIP() << "the user locale is not German here";
    EXPECT_EQ(ChooseLanguageFromEnvironment(), "de_DE");
}

TEST(WinCatalogue, LibraryMessagesComeFromTheCatalogueBesideTheProgram)
{
    _putenv_s("LANG", "de_DE.UTF-8");
    EXPECT_EQ(ChooseLanguageFromEnvironment(), "de_DE");
    InitializeTranslation(ProgramPath());
    const ESerialPort error(1, 2);
    // bin\locale\de\LC_MESSAGES\default.mo, found under the language's first two letters.
    EXPECT_EQ(error.Message().rfind("COM-Port kann nicht ge", 0), 0u) << error.Message();
    EXPECT_NE(error.Message().find("(Windows-Fehlercode: 2)"), std::string::npos) << error.Message();
    _putenv_s("LANG", "");
}

TEST(WinBootloaderDll, IsLoadedFromTheProgramsFolderOnly)
{
    // A library of that name in the working directory is not looked at.
    TempFolder dir;
    const std::string decoy = dir / "Decoy.dll";
    std::ofstream(decoy, std::ios::binary) << "MZ not a library";
    char previous[MAX_PATH + 1];
    GetCurrentDirectoryA(sizeof previous, previous);
    SetCurrentDirectoryA((dir / "").c_str());
    EXPECT_THROW(BootloaderLibrary("Decoy.dll"), EBootloaderLibrary);
    SetCurrentDirectoryA(previous);

    const BootloaderLibrary &library = BootloaderLibrary::Default();
    const std::string folder = ProgramPath().substr(0, ProgramPath().find_last_of('\\') + 1);
    EXPECT_EQ(library.Path(), folder + "Bootloader.dll");
    TestHost host("COM77");
    IntfPtr<IBootloader> loader = library.OpenBootloader(&host);
    ASSERT_TRUE(loader);
    EXPECT_EQ(loader->GetState(), 0);
    // Its own serial link runs on the Win32 calls and names the port it could not open.
    try {
        library.OpenCOM(u"\\\\.\\COM77", &host);
        ADD_FAILURE() << "COM77 opened";
    } catch (const Exception &e) {
        EXPECT_NE(e.Message().find("\\\\.\\COM77"), std::string::npos) << e.Message();
    }
}

TEST(WinSerialPort, StoredPortIsCom1)
{
    EXPECT_EQ(TSerialPort().Port(), "COM1");
}
