#include "checksum.h"
#include "firmwarecontainer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Image(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 29 + 3) & 0xFF);
    return s;
}

std::string ParseError(const std::string &bytes)
{
    try {
        ParseFirmwareContainer(bytes);
    } catch (const EFirmwareFile &e) {
        return e.Message();
    }
    return "(accepted)";
}

} // namespace

TEST(FirmwareContainer, RoundTripsTargetVersionAddressAndImage)
{
    const std::string image = Image(65536 + 77);
    const std::string file = BuildFirmwareContainer("KARVEN-C469", "4.70", image, 0x400);
    ASSERT_EQ(file.size(), kFirmwareHeaderSize + image.size());
    const FirmwareImage back = ParseFirmwareContainer(file);
    EXPECT_EQ(back.target, "KARVEN-C469");
    EXPECT_EQ(back.version, "4.70");
    EXPECT_EQ(back.loadAddress, 0x400u);
    EXPECT_EQ(back.crc, Crc32(image));
    EXPECT_EQ(back.payload, image);

    // Texts that use all 16 bytes have no terminating NUL.
    EXPECT_EQ(ParseFirmwareContainer(BuildFirmwareContainer("ABCDEFGHIJKLMNOP", "1234567890123456", "x")).target,
              "ABCDEFGHIJKLMNOP");
}

TEST(FirmwareContainer, RejectsEveryTruncationAndTrailingBytes)
{
    const std::string file = BuildFirmwareContainer("KARVEN-C469", "4.70", Image(1000));
    for (size_t n = 0; n < file.size(); ++n)
        EXPECT_NE(ParseError(file.substr(0, n)), "(accepted)") << n;
    EXPECT_NE(ParseError(file.substr(0, 500)).find("truncated"), std::string::npos);
    EXPECT_NE(ParseError(file.substr(0, 10)).find("truncated"), std::string::npos);
    EXPECT_NE(ParseError(file + "X").find("unexpected bytes"), std::string::npos);
}

TEST(FirmwareContainer, NamesTheDamagedPart)
{
    const std::string file = BuildFirmwareContainer("KARVEN-C469", "4.70", Image(1000));

    std::string payloadFlip = file;
    payloadFlip[kFirmwareHeaderSize + 999] ^= 1;
    EXPECT_NE(ParseError(payloadFlip).find("image is damaged"), std::string::npos) << ParseError(payloadFlip);

    for (size_t at : {8u, 12u, 30u, 44u, 48u, 59u, 62u}) {
        std::string headerFlip = file;
        headerFlip[at] ^= 0x40;
        EXPECT_NE(ParseError(headerFlip).find("header is damaged"), std::string::npos) << at;
    }

    std::string magic = file;
    magic[0] = 'X';
    EXPECT_NE(ParseError(magic).find("not a firmware container"), std::string::npos);
    EXPECT_NE(ParseError(std::string(200, '\0')).find("not a firmware container"), std::string::npos);
}

TEST(FirmwareContainer, BuilderRefusesWhatCouldNotBeReadBack)
{
    EXPECT_THROW(BuildFirmwareContainer("", "4.70", "x"), EFirmwareFile);
    EXPECT_THROW(BuildFirmwareContainer("KARVEN-C469-TOO-LONG", "4.70", "x"), EFirmwareFile);
    EXPECT_THROW(BuildFirmwareContainer("KARVEN\nC469", "4.70", "x"), EFirmwareFile);
    EXPECT_THROW(BuildFirmwareContainer("KARVEN-C469", "", "x"), EFirmwareFile);
    EXPECT_THROW(BuildFirmwareContainer("KARVEN-C469", "4.70", ""), EFirmwareFile);
}
