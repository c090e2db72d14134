#include "chunkdecoder.h"
#include "convert.h"
#include "httperrors.h"
#include "httpreplyreader.h"
#include "httpurl.h"
#include "socketerrors.h"
#include "streams.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <netdb.h>

namespace {

// Every parser case runs twice: the whole input at once, and one byte at a
// time, which is how a slow connection delivers it.
enum class Delivery { Whole, ByteByByte };

void FeedReply(HttpReplyReader &reader, const std::string &bytes, Delivery delivery, size_t &consumed)
{
    consumed = 0;
    if (delivery == Delivery::Whole) {
        consumed = reader.Feed(bytes.data(), bytes.size());
        return;
    }
    for (size_t i = 0; i < bytes.size() && !reader.Done(); ++i)
        consumed += reader.Feed(bytes.data() + i, 1);
}

std::string DecodeChunked(const std::string &bytes, Delivery delivery, size_t *consumed = nullptr,
                          std::vector<uint64_t> *chunkSizes = nullptr)
{
    ChunkDecoder decoder;
    std::string body;
    size_t at = 0;
    while (!decoder.Done() && at < bytes.size()) {
        const size_t offer = delivery == Delivery::Whole ? bytes.size() - at : 1;
        const ChunkDecoder::StepResult step = decoder.Step(bytes.data() + at, offer);
        body.append(step.data ? step.data : "", step.dataLength);
        if (step.chunkStarted && chunkSizes)
            chunkSizes->push_back(decoder.ChunkSize());
        at += step.consumed;
        if (step.consumed == 0)
            break;
    }
    if (consumed)
        *consumed = at;
    if (!decoder.Done())
        body += "<unfinished>";
    return body;
}

class ReplyReaderTest : public ::testing::TestWithParam<Delivery> {};
class ChunkDecoderTest : public ::testing::TestWithParam<Delivery> {};

} // namespace

TEST(Url, SplitsHostPortPathAndDocument)
{
    const HttpUrl url = SplitUrl("http://updates.example:8080/dir/sub/firmware.php?id=karvenzop#top");
    EXPECT_EQ(url.Protocol, "http");
    EXPECT_EQ(url.Host, "updates.example");
    EXPECT_EQ(url.Port, "8080");
    EXPECT_EQ(url.Path, "/dir/sub/");
    EXPECT_EQ(url.Document, "firmware.php?id=karvenzop");
    EXPECT_EQ(url.Target(), "/dir/sub/firmware.php?id=karvenzop");

    const HttpUrl back = SplitUrl("HTTP:\\\\Host\\a\\b.exe");
    EXPECT_EQ(back.Protocol, "HTTP");
    EXPECT_EQ(back.Host, "Host");
    EXPECT_EQ(back.Port, "");
    EXPECT_EQ(back.Target(), "/a/b.exe");
}

TEST(Url, GivesAnEmptyPathItsSlashAndKeepsSlashesInsideTheQuery)
{
    EXPECT_EQ(SplitUrl("http://host").Target(), "/");
    EXPECT_EQ(SplitUrl("http://host/").Target(), "/");
    EXPECT_EQ(SplitUrl("http://host?x=1").Host, "host?x=1");
    EXPECT_EQ(SplitUrl("http://h/a?next=/b/c").Target(), "/a?next=/b/c");
    EXPECT_EQ(SplitUrl("http://h/a#x/y").Target(), "/a#x/y");  // only the document loses its fragment
    EXPECT_EQ(SplitUrl("http://h/file#").Target(), "/file");
    const HttpUrl relative = SplitUrl("doc.txt");
    EXPECT_EQ(relative.Host, "");
    EXPECT_EQ(relative.Target(), "/doc.txt");
}

TEST(Convert, ReadsDecimalIntegersAndNamesTheOffendingText)
{
    EXPECT_EQ(StrToInt("200"), 200);
    EXPECT_EQ(StrToInt("  -17"), -17);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
    for (const char *bad : {"", "abc", "12a", "2147483648", "99999999999999999999999", "0x10", "1 2", "-"}) {
        try {
            StrToInt(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const EConvertError &error) {
            EXPECT_EQ(error.Message(), std::string("'") + bad + "' is not a valid integer value");
        }
    }
}

TEST_P(ReplyReaderTest, ReadsStatusHeadersAndContinuations)
{
    const std::string head =
        "HTTP/1.1 404 Not Found\r\n"
        "content-length:  12\r\n"
        "LOCATION: /elsewhere\r\n"
        "X-Folded: first\r\n"
        " second\r\n"
        "\tthird\r\n"
        "X-Ends-Blank: a \r\n"
        "  b\r\n"
        "Transfer-Encoding: Chunked\n"
        "Connection: close\r\n"
        "no colon here\r\n"
        "\r\n";
    const std::string body = "body bytes..";
    HttpReplyReader reader;
    size_t consumed = 0;
    FeedReply(reader, head + body, GetParam(), consumed);
    ASSERT_TRUE(reader.Done());
    EXPECT_EQ(consumed, head.size());  // the body stays with the caller
    EXPECT_EQ(reader.ResponseCode(), 404);
    EXPECT_EQ(reader.ResponseText(), "404 Not Found");
    EXPECT_EQ(reader.ResponseVersion(), "1.1");
    const THttpHeaderInfo &h = reader.Headers();
    EXPECT_EQ(h.ContentLength, 12);
    EXPECT_EQ(h.Location, "/elsewhere");
    EXPECT_EQ(h.Connection, "close");
    const std::vector<std::string> extra = {"X-Folded: first second third", "X-Ends-Blank: a b",
                                            "Transfer-Encoding: Chunked", "no colon here"};
    EXPECT_EQ(h.ExtraHeaders, extra);
    EXPECT_EQ(h.ExtraHeaderValue("transfer-encoding"), "Chunked");
}

TEST_P(ReplyReaderTest, SkipsInterimHeadsButStopsAtSwitchingProtocols)
{
    const std::string head = "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\n"
                             "HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n"
                             "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n";
    HttpReplyReader reader;
    size_t consumed = 0;
    FeedReply(reader, head + "abc", GetParam(), consumed);
    ASSERT_TRUE(reader.Done());
    EXPECT_EQ(consumed, head.size());
    EXPECT_EQ(reader.ResponseText(), "200 OK");
    EXPECT_EQ(reader.Headers().ContentLength, 3);
    EXPECT_TRUE(reader.Headers().ExtraHeaders.empty());

    // What follows a 101 is another protocol, not a further head.
    const std::string switching = "HTTP/1.1 101 Switching Protocols\r\n\r\n";
    HttpReplyReader switched;
    FeedReply(switched, switching + "HTTP/1.1 200 OK\r\n\r\n", GetParam(), consumed);
    ASSERT_TRUE(switched.Done());
    EXPECT_EQ(consumed, switching.size());
    EXPECT_EQ(switched.ResponseCode(), 101);
}

TEST_P(ReplyReaderTest, IgnoresContentLengthThatIsNotDecimal)
{
    for (const char *value : {"abc", "-5", "12x", "", "99999999999999999999999"}) {
        HttpReplyReader reader;
        size_t consumed = 0;
        FeedReply(reader, std::string("HTTP/1.0 200 OK\r\nContent-Length: ") + value + "\r\n\r\n", GetParam(),
                  consumed);
        ASSERT_TRUE(reader.Done());
        EXPECT_FALSE(reader.Headers().HasContentLength()) << value;
        EXPECT_EQ(reader.ResponseVersion(), "1.0");
    }
}

TEST_P(ReplyReaderTest, RaisesConvertErrorForNonNumericStatus)
{
    for (const auto &[line, word] : std::vector<std::pair<std::string, std::string>>{
             {"HTTP/1.1 OK 200", "OK"}, {"HTTP/1.1", ""}, {"garbage", ""}}) {
        HttpReplyReader reader;
        size_t consumed = 0;
        try {
            FeedReply(reader, line + "\r\nServer: x\r\n\r\n", GetParam(), consumed);
            ADD_FAILURE() << line;
        } catch (const EConvertError &error) {
            EXPECT_EQ(error.Message(), "'" + word + "' is not a valid integer value");
        }
    }
}

TEST_P(ReplyReaderTest, RefusesEndlessLinesBlocksAndHeaderCounts)
{
    auto expectInvalid = [&](const std::string &bytes, const std::string &message) {
        HttpReplyReader reader;
        size_t consumed = 0;
        try {
            FeedReply(reader, bytes, GetParam(), consumed);
            ADD_FAILURE() << message;
        } catch (const EHttpInvalidReply &error) {
            EXPECT_EQ(error.Message(), message);
        }
    };
    // Byte by byte is slow for the large inputs; the limits are about
    // memory, not about where the pieces break.
    if (GetParam() == Delivery::Whole) {
        expectInvalid("HTTP/1.1 200 OK\r\nX: " + std::string(200 * 1024, 'a'), "Reply line longer than 102400 bytes");
        std::string many = "HTTP/1.1 200 OK\r\n";
        for (int i = 0; i < 5001; ++i)
            many += "X: 1\r\n";
        expectInvalid(many, "Reply has more than 5000 header lines");
        std::string big = "HTTP/1.1 200 OK\r\n";
        for (int i = 0; i < 4; ++i)
            big += "X: " + std::string(90 * 1024, 'b') + "\r\n";
        expectInvalid(big, "Reply header block larger than 307200 bytes");
    }
    // Exactly at the line limit is still fine.
    HttpReplyReader reader;
    size_t consumed = 0;
    const std::string longest = "X: " + std::string(HttpLineReader::kMaxLineLength - 3, 'c');
    FeedReply(reader, "HTTP/1.1 200 OK\r\n" + longest + "\r\n\r\n", Delivery::Whole, consumed);
    EXPECT_TRUE(reader.Done());
}

INSTANTIATE_TEST_SUITE_P(Delivery, ReplyReaderTest, ::testing::Values(Delivery::Whole, Delivery::ByteByByte));

TEST_P(ChunkDecoderTest, DecodesChunksExtensionsAndTrailer)
{
    const std::string payload26 = "abcdefghijklmnopqrstuvwxyz";
    const std::string encoded = "5\r\nhello\r\n"
                                "1a ext\r\n" + payload26 + "\r\n"
                                "1A;name=value\r\n" + payload26 + "\r\n"
                                "0\r\n"
                                "Trailer: ignored\r\n"
                                "\r\n";
    std::vector<uint64_t> sizes;
    size_t consumed = 0;
    EXPECT_EQ(DecodeChunked(encoded + "NEXT", GetParam(), &consumed, &sizes), "hello" + payload26 + payload26);
    EXPECT_EQ(consumed, encoded.size());
    EXPECT_EQ(sizes, (std::vector<uint64_t>{5, 26, 26}));
}

TEST_P(ChunkDecoderTest, TreatsANonHexSizeAsTheLastChunk)
{
    EXPECT_EQ(DecodeChunked("3\nabc\nzz\n\n", GetParam()), "abc");
    EXPECT_EQ(DecodeChunked("\r\n\r\n", GetParam()), "");
    EXPECT_EQ(DecodeChunked("0\r\n", GetParam()), "<unfinished>");  // the closing empty line is still missing
}

TEST_P(ChunkDecoderTest, RefusesOversizedChunkSizes)
{
    for (const std::string line : {"00000000000000001", "8000000000000000", "123456789abcdef012345"}) {
        try {
            DecodeChunked(line + "\r\n", GetParam());
            ADD_FAILURE() << line;
        } catch (const EHttpInvalidReply &error) {
            EXPECT_EQ(error.Message(), "Invalid chunk size '" + line + "'");
        }
    }
    EXPECT_EQ(DecodeChunked("0000000000000003\r\nabc\r\n0\r\n\r\n", GetParam()), "abc");
}

INSTANTIATE_TEST_SUITE_P(Delivery, ChunkDecoderTest, ::testing::Values(Delivery::Whole, Delivery::ByteByByte));

TEST(SocketErrors, MessagesCarryNumberLineBreakAndTableText)
{
    EXPECT_EQ(EHttpSocketError(10061).Message(), "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(EHttpSocketError(10035).Message(), "Socket Error # 10035\r\nOperation would block. ");
    EXPECT_EQ(EHttpSocketError(10066).Message(), "Socket Error # 10066\r\nDirectory not empty");
    EXPECT_EQ(EHttpSocketError(11001).Message(), "Socket Error # 11001\r\n");
    EXPECT_EQ(EHttpSocketError(11001).LastError(), 11001);
    EXPECT_EQ(EHttpConnClosedGracefully().Message(), "Connection Closed Gracefully.");
    EXPECT_EQ(EHttpInterceptInvalid().Message(), "Intercept value is not valid");
    const EHttpProtocolError protocol(404, "404 Not Found");
    EXPECT_EQ(protocol.Message(), "404 Not Found");
    EXPECT_EQ(protocol.ErrorCode(), 404);
}

TEST(SocketErrors, MapsPosixNumbersToTheWindowsTable)
{
    const std::pair<int, int> pairs[] = {
        {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060}, {ECONNRESET, 10054}, {ENETUNREACH, 10051},
        {EHOSTUNREACH, 10065}, {EPIPE, 10058},     {ESHUTDOWN, 10058},  {EADDRINUSE, 10048},
        {EINTR, 10004},        {EAGAIN, 10035},    {ENOTEMPTY, 10066},  {ECONNABORTED, 10053},
    };
    for (const auto &[posix, windows] : pairs) {
        EXPECT_EQ(SocketErrorFromErrno(posix), windows) << posix;
        EXPECT_FALSE(SocketErrorText(windows).empty()) << windows;
    }
    EXPECT_EQ(SocketErrorFromLookup(EAI_NONAME, 0), 11001);
    EXPECT_EQ(SocketErrorFromLookup(EAI_AGAIN, 0), 11002);
    EXPECT_EQ(SocketErrorFromLookup(EAI_FAIL, 0), 11003);
    EXPECT_EQ(SocketErrorFromLookup(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST(Streams, MemoryStreamGrowsReadsSeeksAndTruncates)
{
    MemoryStream stream;
    stream.WriteBuffer("hello world", 11);
    EXPECT_EQ(stream.Size(), 11);
    stream.SetPosition(6);
    stream.WriteBuffer("there!", 6);
    EXPECT_EQ(std::string(stream.Memory(), static_cast<size_t>(stream.Size())), "hello there!");
    stream.Seek(-6, SeekOrigin::soEnd);
    char buffer[16] = {};
    EXPECT_EQ(stream.Read(buffer, sizeof buffer), 6);
    EXPECT_EQ(std::string(buffer, 6), "there!");
    stream.SetSize(5);
    EXPECT_EQ(stream.Position(), 5);
    stream.Seek(2, SeekOrigin::soEnd);  // past the end: the gap fills with zeros
    stream.WriteBuffer("x", 1);
    EXPECT_EQ(std::string(stream.Memory(), 8), std::string("hello\0\0x", 8));
    StringStream text("abc");
    EXPECT_EQ(text.DataString(), "abc");
}
