#include "childprocess.h"
#include "minisign.h"
#include "trustedkeys.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string ReadText(const std::string &name)
{
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Shell(const std::string &command)
{
    return std::system((command + " > /dev/null 2>&1").c_str()) == 0;
}

} // namespace

TEST(SignatureInterop, TheToolsSignaturesVerifyInOursAndOursInTheTool)
{
    if (!ProgramAvailable("/usr/bin/minisign"))
        GTEST_SKIP() << "minisign is not installed";
    TempDir dir;
    const std::string d = dir.Path();
    const std::string file = PatternBytes(100000);
    dir.WriteFile("image.acy", file);
    const std::string comment = "target:KARVEN-C469 version:4.70 file:image.acy";

    // minisign signs, we verify: the file, the trusted comment, and nothing changed.
    ASSERT_TRUE(Shell("minisign -G -W -p " + d + "/tool.pub -s " + d + "/tool.key"));
    ASSERT_TRUE(Shell("minisign -S -s " + d + "/tool.key -m " + d + "/image.acy -t '" + comment + "'"));
    const MinisignPublicKey toolKey = ParseMinisignPublicKey(ReadText(d + "/tool.pub"));
    MinisignSignature signature = ParseMinisignSignature(ReadText(d + "/image.acy.minisig"));
    EXPECT_EQ(signature.trustedComment, comment);
    EXPECT_NE(ReadText(d + "/tool.pub").find("public key " + KeyIdText(toolKey.keyId)), std::string::npos);
    EXPECT_TRUE(VerifyMinisign(signature, toolKey, file));
    std::string changed = file;
    changed[50000] ^= 1;
    EXPECT_FALSE(VerifyMinisign(signature, toolKey, changed));
    signature.trustedComment = "target:KARVEN-C469 version:9.99 file:image.acy";
    EXPECT_FALSE(VerifyMinisign(signature, toolKey, file));
    EXPECT_THROW(ParseMinisignSignature(ReadText(d + "/image.acy.minisig").substr(0, 60)), EMinisignFormat);

    // We make a key and sign; minisign verifies and shows our trusted comment.
    const MinisignKeyPair ours = GenerateMinisignKeyPair();
    dir.WriteFile("ours.pub", ours.publicKeyFile);
    dir.WriteFile("image.acy.minisig", SignMinisign(ours.secretKeyFile, file, comment));
    EXPECT_TRUE(Shell("minisign -V -p " + d + "/ours.pub -m " + d + "/image.acy"));
    EXPECT_TRUE(Shell("minisign -V -p " + d + "/ours.pub -m " + d + "/image.acy | grep -qx 'Trusted comment: " + comment + "'"));
    // minisign signs with our secret key, and we with one it made.
    dir.WriteFile("ours.key", ours.secretKeyFile);
    EXPECT_TRUE(Shell("minisign -S -s " + d + "/ours.key -m " + d + "/image.acy -t x && minisign -V -p " + d
                    + "/ours.pub -m " + d + "/image.acy"));
    dir.WriteFile("image.acy.minisig", SignMinisign(ReadText(d + "/tool.key"), file, comment));
    EXPECT_TRUE(Shell("minisign -V -p " + d + "/tool.pub -m " + d + "/image.acy"));
}

TEST(TrustedKeys, TheVariableReplacesTheShippedAndTheUsersKeys)
{
    TempDir dir;
    const MinisignKeyPair user = GenerateMinisignKeyPair(), listed = GenerateMinisignKeyPair();
    dir.WriteFile("config/karvenzop/keys/user.pub", user.publicKeyFile);
    dir.WriteFile("config/karvenzop/keys/notes.txt", "not a key");
    dir.WriteFile("config/karvenzop/keys/broken.pub", "untrusted comment: x\nnot base64\n");
    dir.WriteFile("listed.pub", listed.publicKeyFile);
    ::setenv("XDG_CONFIG_HOME", (dir.Path() + "/config").c_str(), 1);
    ::unsetenv("KARVENZOP_TRUSTED_KEYS");
    const auto userKey = ParseMinisignPublicKey(user.publicKeyFile).keyId;
    const auto listedKey = ParseMinisignPublicKey(listed.publicKeyFile).keyId;

    auto keys = LoadTrustedKeys();
    EXPECT_NE(FindTrustedKey(keys, userKey), nullptr);
    EXPECT_EQ(FindTrustedKey(keys, listedKey), nullptr);

    ::setenv("KARVENZOP_TRUSTED_KEYS", (dir.Path() + "/nothing.pub:" + dir.Path() + "/listed.pub").c_str(), 1);
    keys = LoadTrustedKeys();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].key.keyId, listedKey);
    ::unsetenv("KARVENZOP_TRUSTED_KEYS");
    ::unsetenv("XDG_CONFIG_HOME");
}
