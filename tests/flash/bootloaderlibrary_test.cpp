#include "bootloaderlibrary.h"
#include "simprocess.h"
#include "testhost.h"

#include <gtest/gtest.h>

namespace {

std::string LoadError(const std::string &name)
{
    try {
        BootloaderLibrary library(name);
    } catch (const EBootloaderLibrary &e) {
        return e.Message();
    }
    return "(loaded)";
}

} // namespace

TEST(BootloaderLibrary, MissingBrokenOrIncompleteLibraryIsNamed)
{
    EXPECT_EQ(LoadError("libNoSuchBootloader.so").rfind("Cannot load the bootloader library libNoSuchBootloader.so: ", 0),
              0u);

    const std::string dir = MakeTempDirectory();
    const std::string broken = dir + "/libBootloader.so";
    WriteFile(broken, "not a shared object");
    EXPECT_EQ(LoadError(broken).rfind("Cannot load the bootloader library " + broken + ": ", 0), 0u);
    RemoveTree(dir);

    const std::string other = BinDirectory() + "libkz_noexports.so";
    EXPECT_EQ(LoadError(other), "The bootloader library " + other + " has no export OpenBootloader");
}

TEST(BootloaderLibrary, FindsTheLibraryBesideTheProgramAndHandsOutObjects)
{
    BootloaderLibrary &library = BootloaderLibrary::Default();
    EXPECT_EQ(library.Path(), BinDirectory() + "libBootloader.so");

    TestHost host("/dev/null");
    IntfPtr<IBootloader> loader = library.OpenBootloader(&host);
    EXPECT_EQ(loader->GetState(), kStateIdle);
    EXPECT_EQ(loader->GetLink(), nullptr);
    IntfPtr<IBootloaderDevice> device = IntfPtr<IBootloaderDevice>::Adopt(loader->GetDevice());
    EXPECT_EQ(device->IsValid(), 0);
    EXPECT_TRUE(device->GetInfo().empty());

    // Interface identity: the loader answers for its own and the base id, not for others.
    void *out = nullptr;
    EXPECT_EQ(loader->QueryInterface(kIidBootloader, &out), kResultOk);
    EXPECT_EQ(out, static_cast<void *>(loader.get()));
    static_cast<IBootloader *>(out)->Release();
    EXPECT_EQ(loader->QueryInterface(kIidBootloaderHost, &out), kResultNoInterface);
    EXPECT_EQ(out, nullptr);

    // A failure inside the library arrives as the tool's own exception type.
    EXPECT_THROW(loader->Program(1, 2), Exception);
}
