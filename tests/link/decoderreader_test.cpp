#include "decoderprotocol.h"
#include "decoderreader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace decoder;

namespace {

// Records the lines the reader hands on, and the window's view of them.
struct RecordingSink {
    std::vector<DecoderLine> lines;
    std::vector<std::string> log;
    std::string serial = "not read", firmware = "not read", hardware = "not read";
    ToneTable tones;
    DecoderReader reader{[this](const DecoderLine &line) { Take(line); }};

    void Take(const DecoderLine &line)
    {
        lines.push_back(line);
        if (line.logText)
            log.push_back(*line.logText);
        switch (line.kind) {
        case LineKind::SerialNumber: serial = line.value; break;
        case LineKind::FirmwareVersion: firmware = line.value; break;
        case LineKind::HardwareRevision: hardware = line.value; break;
        case LineKind::ToneTable: tones = line.tones; break;
        default: break;
        }
    }
};

std::string TelegramLine(const std::string &id, char status, char tki, char bs, char dir, const std::string &text = "")
{
    std::string line = std::string("1\x1eR\x1e" "2\x1e") + id + '\x1e' + status + '\x1e' + tki + '\x1e' + bs + '\x1e' + dir;
    if (!text.empty())
        line += '\x1e' + text;
    return line + '\n';
}

} // namespace

TEST(Commands, ReadCommandsHaveTheExactBytes)
{
    EXPECT_EQ(BuildCommand("GS"), std::string("\x30\x1e\x43\x1e\x47\x53\x0a\x0d", 8));
    EXPECT_EQ(BuildCommand("GZ"), std::string("\x30\x1e\x43\x1e\x47\x5a\x0a\x0d", 8));
    EXPECT_EQ(BuildCommand("B"), std::string("\x30\x1e\x43\x1e\x42\x0a\x0d", 7));
}

TEST(Commands, ClockCommandCarriesRawBytesNotDigits)
{
    std::tm t{};
    t.tm_mday = 6;
    t.tm_mon = 11;     // December
    t.tm_year = 126;   // 2026
    t.tm_hour = 14;
    t.tm_min = 5;
    t.tm_sec = 9;
    const std::string expected("\x30\x1e\x43\x1e\x43\x1e\x6a\x70\x7e\x72\x69\x6d\x0a\x0d", 14);
    EXPECT_EQ(BuildClockCommand(t), expected);

    // The extremes of every part still land in one byte each.
    t = {};
    t.tm_mday = 31; t.tm_mon = 11; t.tm_year = 199; t.tm_hour = 23; t.tm_min = 59; t.tm_sec = 59;
    const std::string late = BuildClockCommand(t);
    ASSERT_EQ(late.size(), 14u);
    EXPECT_EQ(static_cast<unsigned char>(late[6]), 131);
    EXPECT_EQ(static_cast<unsigned char>(late[8]), 199);
    EXPECT_EQ(static_cast<unsigned char>(late[11]), 159);
    t.tm_year = 100; // 2000: year within the century is 0
    EXPECT_EQ(static_cast<unsigned char>(BuildClockCommand(t)[8]), 100);
}

TEST(LineAssembly, KeepsPartialLineAcrossReads)
{
    RecordingSink sink;
    DecoderReader &protocol = sink.reader;
    const std::string reply("\x30\x1e\x43\x1e\x47\x53\x1e\x41\x31\x32\x33\x34\x0a\x0d", 14);
    protocol.AssembleDecoderLines(reply.substr(0, 3));
    protocol.AssembleDecoderLines(reply.substr(3, 6));
    EXPECT_TRUE(sink.log.empty());
    protocol.AssembleDecoderLines(reply.substr(9));
    ASSERT_EQ(sink.log.size(), 1u);
    EXPECT_EQ(sink.log[0], "Serial number: A1234");
    EXPECT_EQ(sink.serial, "A1234");
    EXPECT_TRUE(protocol.Buffer().empty());
}

TEST(LineAssembly, SeveralLinesInOnePieceInOrderAndLfStaysInLine)
{
    RecordingSink sink;
    DecoderReader &protocol = sink.reader;
    protocol.AssembleDecoderLines("first\n\rsecond\rthird-part");
    ASSERT_EQ(sink.log.size(), 2u);
    EXPECT_EQ(sink.log[0], "first\n");
    EXPECT_EQ(sink.log[1], "second");
    EXPECT_EQ(protocol.Buffer(), "third-part");
}

TEST(LineAssembly, CrOnEmptyBufferGivesEmptyLines)
{
    RecordingSink sink;
    DecoderReader &protocol = sink.reader;
    protocol.AssembleDecoderLines("\r\r");
    EXPECT_EQ(sink.log, (std::vector<std::string>{"", ""}));
    EXPECT_EQ(static_cast<int>(sink.lines.size()), 2);
}

TEST(LineAssembly, NulBytesAreOrdinaryBytes)
{
    RecordingSink sink;
    DecoderReader &protocol = sink.reader;
    protocol.AssembleDecoderLines(std::string("a\0b\r", 4));
    ASSERT_EQ(sink.log.size(), 1u);
    EXPECT_EQ(sink.log[0], std::string("a\0b", 3));
}

TEST(LineAssembly, RandomBytesAreAllAccountedFor)
{
    // Every byte that is not a CR ends up in exactly one line or in the buffer.
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<size_t> piece(1, 4096);
    RecordingSink sink;
    DecoderReader &protocol = sink.reader;
    size_t fed = 0, crs = 0;
    std::string all;
    while (fed < 400000) {
        std::string chunk(piece(rng), '\0');
        for (auto &c : chunk) {
            c = static_cast<char>(byte(rng));
            if (c == CR)
                ++crs;
        }
        fed += chunk.size();
        all += chunk;
        protocol.AssembleDecoderLines(chunk);
    }
    EXPECT_EQ(static_cast<int>(sink.lines.size()), static_cast<int>(crs));
    // Replay through the splitter by hand: the non-prefixed lines must come back unchanged.
    size_t start = 0, index = 0, checked = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] != CR)
            continue;
        const std::string line = all.substr(start, i - start);
        if (line.rfind("0\x1e", 0) != 0 && line.rfind("1\x1e", 0) != 0) {
            EXPECT_EQ(sink.log[index], line);
            ++checked;
        }
        ++index;
        start = i + 1;
    }
    EXPECT_EQ(protocol.Buffer(), all.substr(start));
    EXPECT_GT(checked, 0u);
}

TEST(LineAssembly, LongLineWithoutCrAndCrFlood)
{
    RecordingSink sink;
    DecoderReader &protocol = sink.reader;
    const std::string big(10 * 1024 * 1024, 'x');
    protocol.AssembleDecoderLines(big);
    protocol.AssembleDecoderLines(std::string(100000, '\r'));
    // The long line is cut at the limit; its CR only ends the dropped tail.
    ASSERT_EQ(sink.log.size(), 100000u);
    EXPECT_EQ(sink.log[0], std::string(MaxLineLength, 'x'));
    EXPECT_TRUE(sink.log[1].empty());
}

TEST(LineAssembly, LineAtTheLimitIsHandledOnceAndTheRestDroppedUpToCr)
{
    for (const size_t piece : {size_t{1}, size_t{4093}, size_t{1} << 20}) {
        RecordingSink sink;
        DecoderReader &protocol = sink.reader;
        const std::string fits(MaxLineLength, 'a');
        const std::string input = fits + "\r" + std::string(MaxLineLength + 10, 'b') + "tail\r" +
                                  std::string(3 * MaxLineLength, 'c') + "\r0\x1e" "C\x1e" "GF\x1e" "4.70\n\r";
        for (size_t at = 0; at < input.size(); at += piece)
            protocol.AssembleDecoderLines(std::string_view(input).substr(at, piece));
        ASSERT_EQ(sink.log.size(), 4u) << piece;
        EXPECT_EQ(sink.log[0], fits);
        EXPECT_EQ(sink.log[1], std::string(MaxLineLength, 'b'));
        EXPECT_EQ(sink.log[2], std::string(MaxLineLength, 'c'));
        // The next line after a cut one is read as usual.
        EXPECT_EQ(sink.firmware, "4.70");
        EXPECT_EQ(protocol.Buffer(), "");
        // Nothing held for a line that never ends beyond the limit.
        protocol.AssembleDecoderLines(std::string(5 * MaxLineLength, 'd'));
        EXPECT_EQ(sink.log.size(), 5u);
        EXPECT_EQ(protocol.Buffer(), "");
    }
}

TEST(SingleValueReplies, FillTheirFieldsAndLog)
{
    RecordingSink sink;
    DecoderReader &protocol = sink.reader;
    protocol.AssembleDecoderLines(std::string("0\x1e" "C\x1e" "GF\x1e" "4.69\n\r"));
    protocol.AssembleDecoderLines(std::string("0\x1e" "C\x1e" "GR\x1e" "C\n\r"));
    EXPECT_EQ(sink.firmware, "4.69");
    EXPECT_EQ(sink.hardware, "C");
    EXPECT_EQ(sink.log, (std::vector<std::string>{"Firmware version: 4.69", "Hardware revision: C"}));
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[0].kind, LineKind::FirmwareVersion);
    EXPECT_EQ(sink.lines[1].kind, LineKind::HardwareRevision);
    EXPECT_EQ(sink.lines[1].raw, std::string("0\x1e" "C\x1e" "GR\x1e" "C\n"));
}

TEST(SingleValueReplies, ShortRepliesGiveEmptyValues)
{
    for (const std::string &line : {std::string("0\x1e" "C\x1e" "GS"), std::string("0\x1e" "C\x1e" "GS\x1e"),
                                   std::string("0\x1e" "C\x1e" "GS\x1e\n")}) {
        RecordingSink sink;
        DecoderReader &protocol = sink.reader;
        protocol.HandleDecoderLine(line);
        EXPECT_EQ(sink.serial, "") << line.size();
        EXPECT_EQ(sink.log.at(0), "Serial number: ");
    }
    RecordingSink sink;
    DecoderReader &protocol = sink.reader;
    protocol.HandleDecoderLine(std::string("0\x1e" "C\x1e" "GS\x1eXY"));   // 9 characters: value is the one before the last
    EXPECT_EQ(sink.serial, "X");
}

TEST(ToneTableReply, FillsElevenFieldsWithoutLogLine)
{
    RecordingSink sink;
    DecoderReader &protocol = sink.reader;
    std::string reply = "0\x1e" "C\x1e" "GZ\x1e";
    const char *values[] = {"1060", "1160", "1270", "1400", "1530", "1670", "1830", "2000", "2200", "2400", "2600"};
    for (const char *v : values)
        reply += std::string(v) + '\x1e';
    protocol.AssembleDecoderLines(reply + "\n\r");
    EXPECT_TRUE(sink.log.empty());
    EXPECT_EQ(static_cast<int>(sink.lines.size()), 1);
    for (int i = 0; i < ToneDigits; ++i)
        EXPECT_EQ(sink.tones[i], values[i]);
}

TEST(ToneTableReply, MissingSeparatorsLeaveTrailingFieldsEmpty)
{
    RecordingSink sink;
    DecoderReader &protocol = sink.reader;
    std::string reply = "0\x1e" "C\x1e" "GZ\x1e";
    for (int i = 0; i < 9; ++i)
        reply += std::to_string(1000 + i) + '\x1e';
    protocol.HandleDecoderLine(reply + "tail-without-separator");
    EXPECT_EQ(sink.tones[8], "1008");
    EXPECT_EQ(sink.tones[9], "");
    EXPECT_EQ(sink.tones[10], "");

    protocol.HandleDecoderLine("0\x1e" "C\x1e" "GZ");   // nothing after the prefix at all
    for (const auto &field : sink.tones)
        EXPECT_EQ(field, "");
}

TEST(TelegramReports, LengthsAndDirection)
{
    RecordingSink sink;
    DecoderReader &protocol = sink.reader;
    const std::string line23 = TelegramLine("12345678", '3', '0', '1', '1');
    ASSERT_EQ(line23.size(), 23u);
    protocol.HandleDecoderLine(line23);
    EXPECT_EQ(sink.log.back(), "R1: 12345678 S:3 TKI:0 BS:1 FZ->LS ");
    const Telegram &fields = sink.lines.back().telegram;
    EXPECT_EQ(sink.lines.back().kind, LineKind::Telegram);
    EXPECT_EQ(fields.identifier, "12345678");
    EXPECT_EQ(std::string({fields.status, fields.tacticalInfo, fields.stage}), "301");
    EXPECT_FALSE(fields.toVehicle);
    EXPECT_FALSE(fields.freeText.has_value());

    std::string toVehicle = line23;
    toVehicle[21] = '2';
    protocol.HandleDecoderLine(toVehicle);
    EXPECT_EQ(sink.log.back(), "R1: 12345678 S:3 TKI:0 BS:1 FZ<-LS ");

    protocol.HandleDecoderLine(line23.substr(0, 22));   // 22 characters: no separator after the direction
    EXPECT_EQ(sink.log.back(), "R1: 12345678 S:3 TKI:0 BS:1 FZ->LS ");

    protocol.HandleDecoderLine(line23 + "x");   // 24 characters: the free text is empty
    EXPECT_EQ(sink.log.back(), "R1: 12345678 S:3 TKI:0 BS:1 FZ->LS T: ");

    std::string withText = line23.substr(0, 22) + '\x1e' + "RTW Nord" + '\n';
    protocol.HandleDecoderLine(withText);
    EXPECT_EQ(sink.log.back(), "R1: 12345678 S:3 TKI:0 BS:1 FZ->LS T: RTW Nord");
    EXPECT_EQ(sink.lines.back().telegram.freeText, "RTW Nord");
}

TEST(TelegramReports, ShortReportIsLoggedUnchanged)
{
    RecordingSink sink;
    DecoderReader &protocol = sink.reader;
    const std::string shortReport = TelegramLine("12345678", '3', '0', '1', '1').substr(0, 21);
    protocol.HandleDecoderLine(shortReport);
    EXPECT_EQ(sink.log.back(), shortReport);
    EXPECT_EQ(sink.lines.back().kind, LineKind::Other);
    protocol.HandleDecoderLine(std::string("1\x1eR\x1e" "2"));
    EXPECT_EQ(sink.log.back(), std::string("1\x1eR\x1e" "2"));
}

TEST(OtherLines, UnknownPrefixesAreLoggedAsReceived)
{
    RecordingSink sink;
    DecoderReader &protocol = sink.reader;
    protocol.HandleDecoderLine(std::string("0\x1e" "C\x1e" "GT\x1e" "01\n"));
    protocol.HandleDecoderLine(std::string("1\x1eR\x1e" "3\x1e" "abc"));
    EXPECT_EQ(sink.log[0], std::string("0\x1e" "C\x1e" "GT\x1e" "01\n"));
    EXPECT_EQ(sink.log[1], std::string("1\x1eR\x1e" "3\x1e" "abc"));
    EXPECT_EQ(sink.serial, "not read");
    // The clock reply is told apart, and logged as received all the same.
    EXPECT_EQ(sink.lines[0].kind, LineKind::Clock);
    EXPECT_EQ(sink.lines[1].kind, LineKind::Other);
}
