#include "bootmessages.h"
#include "checksum.h"
#include "framecodec.h"
#include "portname.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<Frame> DecodeAll(FrameDecoder &decoder, int *bad = nullptr)
{
    std::vector<Frame> frames;
    Frame f;
    for (DecodeResult r; (r = decoder.Next(f)) != DecodeResult::NeedMore;) {
        if (r == DecodeResult::Frame)
            frames.push_back(f);
        else if (bad)
            ++*bad;
    }
    return frames;
}

// Feeds the stream at once and byte by byte; both must give the same frames.
std::vector<Frame> DecodeBothWays(const std::string &stream, int *bad = nullptr)
{
    FrameDecoder whole;
    whole.Feed(stream);
    int badWhole = 0;
    const auto once = DecodeAll(whole, &badWhole);

    FrameDecoder single;
    std::vector<Frame> bytewise;
    int badBytewise = 0;
    for (char c : stream) {
        single.Feed(std::string_view(&c, 1));
        for (const Frame &f : DecodeAll(single, &badBytewise))
            bytewise.push_back(f);
    }
    EXPECT_EQ(once.size(), bytewise.size());
    for (size_t i = 0; i < once.size() && i < bytewise.size(); ++i) {
        EXPECT_EQ(once[i].type, bytewise[i].type);
        EXPECT_EQ(once[i].seq, bytewise[i].seq);
        EXPECT_EQ(once[i].payload, bytewise[i].payload);
    }
    EXPECT_EQ(badWhole, badBytewise);
    if (bad)
        *bad = badWhole;
    return once;
}

std::string Pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 3)) & 0xFF);
    return s;
}

} // namespace

TEST(Checksums, MatchTheStandardCheckValues)
{
    EXPECT_EQ(Crc16("123456789"), 0x29B1);
    EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(Crc32(""), 0u);
    // Continuing over a second piece equals one pass over both.
    EXPECT_EQ(Crc32("6789", 4, Crc32("12345")), 0xCBF43926u);
}

TEST(FrameCodec, RoundTripsFramesAtOnceAndByteByByte)
{
    const std::vector<Frame> sent = {
        {frametype::Leave, 1, ""},
        {frametype::Write, 2, Pattern(260, 1)},
        {frametype::Ack, 255, std::string(1, '\0')},
        {frametype::Write, 3, Pattern(kMaxFramePayload, 2)},
        // Payload full of start bytes: nothing is escaped, the length carries it.
        {frametype::Write, 4, std::string(64, static_cast<char>(kFrameStart))},
    };
    std::string stream;
    for (const Frame &f : sent)
        stream += EncodeFrame(f.type, f.seq, f.payload);
    EXPECT_EQ(EncodeFrame(frametype::Leave, 1, "").size(), kFrameOverhead);

    int bad = 0;
    const auto got = DecodeBothWays(stream, &bad);
    EXPECT_EQ(bad, 0);
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(got[i].type, sent[i].type) << i;
        EXPECT_EQ(got[i].seq, sent[i].seq) << i;
        EXPECT_EQ(got[i].payload, sent[i].payload) << i;
    }
}

TEST(FrameCodec, SkipsNoiseAndFalseStartsBetweenFrames)
{
    const std::string a = EncodeFrame(frametype::Ack, 7, std::string(1, '\0'));
    const std::string b = EncodeFrame(frametype::Checksum, 8, "\x01\x02\x03\x04");
    std::string stream = "norVEX0\x1e" "C\x1e" "B\n\r";
    stream += static_cast<char>(kFrameStart);
    stream += 'z'; // not a frame type
    stream += a;
    stream += static_cast<char>(kFrameStart);
    stream += "K\x01\xff\xff"; // length beyond the maximum
    stream += b;
    FrameDecoder counting;
    counting.Feed(stream);
    const auto frames = DecodeAll(counting);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].seq, 7);
    EXPECT_EQ(frames[1].payload, "\x01\x02\x03\x04");
    EXPECT_EQ(counting.SkippedBytes(), stream.size() - a.size() - b.size());
    EXPECT_TRUE(counting.Empty());
    EXPECT_EQ(DecodeBothWays(stream).size(), 2u);
}

TEST(FrameCodec, ReportsDamagedFrameAndStillFindsTheNextOne)
{
    std::string damaged = EncodeFrame(frametype::Write, 9, Pattern(100, 3));
    damaged[50] ^= 0x10;
    const std::string good = EncodeFrame(frametype::Write, 10, Pattern(100, 4));

    FrameDecoder decoder;
    decoder.Feed(damaged + good);
    Frame f;
    ASSERT_EQ(decoder.Next(f), DecodeResult::BadChecksum);
    EXPECT_EQ(f.type, frametype::Write); // header fields of the damaged frame, for the negative answer
    EXPECT_EQ(f.seq, 9);
    const auto rest = DecodeAll(decoder);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].seq, 10);
    EXPECT_EQ(rest[0].payload, Pattern(100, 4));
    EXPECT_EQ(decoder.BadFrames(), 1u);

    int bad = 0;
    EXPECT_EQ(DecodeBothWays(damaged + good, &bad).size(), 1u);
    EXPECT_EQ(bad, 1);
}

TEST(FrameCodec, LostByteDoesNotSwallowTheFollowingFrame)
{
    // A byte lost inside a frame makes it end inside the next one; the
    // decoder must resynchronise on the retransmitted frame.
    std::string shortened = EncodeFrame(frametype::Write, 1, Pattern(40, 5));
    shortened.erase(20, 1);
    const std::string again = EncodeFrame(frametype::Write, 1, Pattern(40, 5));
    const std::string next = EncodeFrame(frametype::Write, 2, Pattern(40, 6));
    const auto frames = DecodeBothWays(shortened + again + next);
    ASSERT_GE(frames.size(), 1u);
    EXPECT_EQ(frames.back().seq, 2);
    EXPECT_EQ(frames.back().payload, Pattern(40, 6));
}

TEST(FrameCodec, PartialFrameWaitsAndResetDropsIt)
{
    const std::string frame = EncodeFrame(frametype::Hello, 0, "abc");
    FrameDecoder decoder;
    decoder.Feed(frame.substr(0, frame.size() - 1));
    Frame f;
    EXPECT_EQ(decoder.Next(f), DecodeResult::NeedMore);
    EXPECT_EQ(decoder.Buffered(), frame.size() - 1);
    decoder.Reset();
    EXPECT_TRUE(decoder.Empty());
    decoder.Feed(frame);
    ASSERT_EQ(decoder.Next(f), DecodeResult::Frame);
    EXPECT_EQ(f.payload, "abc");
}

TEST(BootMessages, HelloRoundTripsAndEveryTruncationIsRejected)
{
    HelloInfo h;
    h.deviceId = 0xC469;
    h.bootloaderVersion = 0x0102;
    h.flags = 5;
    h.needsPassword = true;
    h.hasApplication = true;
    h.pageSize = 256;
    h.flashSize = 131072;
    h.maxPayload = 260;
    h.applicationSize = 65536;
    h.target = "KARVEN-C469";
    h.firmwareVersion = "4.69";
    h.serialNumber = "A1234";
    h.info = "bench unit";
    const std::string bytes = EncodeHello(h);
    const auto back = ParseHello(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->deviceId, h.deviceId);
    EXPECT_EQ(back->bootloaderVersion, h.bootloaderVersion);
    EXPECT_EQ(back->flags, h.flags);
    EXPECT_TRUE(back->needsPassword);
    EXPECT_TRUE(back->hasApplication);
    EXPECT_EQ(back->pageSize, h.pageSize);
    EXPECT_EQ(back->flashSize, h.flashSize);
    EXPECT_EQ(back->maxPayload, h.maxPayload);
    EXPECT_EQ(back->applicationSize, h.applicationSize);
    EXPECT_EQ(back->target, h.target);
    EXPECT_EQ(back->firmwareVersion, h.firmwareVersion);
    EXPECT_EQ(back->serialNumber, h.serialNumber);
    EXPECT_EQ(back->info, h.info);
    for (size_t n = 0; n < bytes.size(); ++n)
        EXPECT_FALSE(ParseHello(bytes.substr(0, n))) << n;

    const auto finish = ParseFinish(EncodeFinish({0x100, 65536, 0xDEADBEEF, "4.70"}));
    ASSERT_TRUE(finish);
    EXPECT_EQ(finish->start, 0x100u);
    EXPECT_EQ(finish->length, 65536u);
    EXPECT_EQ(finish->crc, 0xDEADBEEFu);
    EXPECT_EQ(finish->version, "4.70");
    EXPECT_FALSE(ParseFinish(EncodeFinish({0, 1, 2, "4.70"}) + "x"));
    EXPECT_FALSE(ParseRange("1234567"));
}

TEST(PortName, DropsTheWindowsDevicePrefixOnly)
{
    EXPECT_EQ(DevicePathFromPortName(u"\\\\.\\/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(DevicePathFromPortName(u"/tmp/ttyKARVEN0"), "/tmp/ttyKARVEN0");
    EXPECT_EQ(DevicePathFromPortName(u"\\\\.\\"), "");
    EXPECT_EQ(DevicePathFromPortName(u"\\\\.\\/tmp/\u00e4"), "/tmp/\xc3\xa4");
}
