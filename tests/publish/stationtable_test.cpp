// The centre's station table: repeats, gaps, epochs and its bounds.

#include "stationtable.h"

#include <gtest/gtest.h>

using namespace publish;

namespace {

StationEvent Telegram(const std::string &station, const std::string &epoch, uint64_t seq)
{
    return {station, "telegram",
            "{\"station\":\"" + station + "\",\"epoch\":\"" + epoch + "\",\"seq\":" + std::to_string(seq) + "}", 0,
            false};
}

std::vector<std::pair<uint64_t, uint64_t>> Gaps(const StationTable::Outcome &outcome)
{
    std::vector<std::pair<uint64_t, uint64_t>> gaps;
    for (const SeqRange &gap : outcome.gaps)
        gaps.emplace_back(gap.first, gap.last);
    return gaps;
}

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

} // namespace

TEST(StationTable, DropsOnlyWhatWasShownAndAWildSeqHidesNothing)
{
    StationTable table;
    for (uint64_t seq = 1; seq <= 100; ++seq)
        ASSERT_FALSE(table.Take(Telegram("site1", "e1", seq)).repeat);
    EXPECT_TRUE(table.Take(Telegram("site1", "e1", 100)).repeat);
    EXPECT_TRUE(table.Take(Telegram("site1", "e1", 37)).repeat);
    EXPECT_FALSE(table.Take(Telegram("site2", "e1", 37)).repeat);

    // A spoofed seq far ahead: the gap it makes is reported, and the real
    // numbering that follows is shown, not taken for repeats.
    EXPECT_EQ(Gaps(table.Take(Telegram("site1", "e1", 99999))), (Ranges{{101, 99998}}));
    for (uint64_t seq = 101; seq <= 103; ++seq) {
        const StationTable::Outcome real = table.Take(Telegram("site1", "e1", seq));
        EXPECT_FALSE(real.repeat) << seq;
        EXPECT_TRUE(real.gaps.empty());
    }
    // Too far behind the highest to be remembered: shown rather than lost.
    EXPECT_FALSE(table.Take(Telegram("site1", "e1", 50)).repeat);
    EXPECT_EQ(table.Stations().front().name, "site1");
    EXPECT_EQ(table.Stations().front().repeats, 2u);
}

TEST(StationTable, ReportsEachGapOnceAndANewEpochCountsFromOne)
{
    StationTable table;
    table.Take(Telegram("s", "e1", 5));   // first heard mid-way: no gap before it
    EXPECT_EQ(Gaps(table.Take(Telegram("s", "e1", 9))), (Ranges{{6, 8}}));
    // The spool's notice names what the jump showed already, and more.
    const StationEvent notice{"s", "line",
                              "{\"epoch\":\"e1\",\"kind\":\"spool-dropped\",\"dropped\":6,\"first_seq\":7,\"last_seq\":12}",
                              0, false};
    EXPECT_EQ(Gaps(table.Take(notice)), (Ranges{{10, 12}}));
    EXPECT_TRUE(table.Take(Telegram("s", "e1", 13)).gaps.empty());
    EXPECT_EQ(table.Stations()[0].spoolDropped, 6u);
    EXPECT_EQ(table.Stations()[0].missing, 6u);

    // A new spool: seq 1 again is new, and what it misses from 1 is a gap.
    EXPECT_FALSE(table.Take(Telegram("s", "e2", 1)).repeat);
    EXPECT_EQ(Gaps(table.Take(Telegram("s", "e2", 4))), (Ranges{{2, 3}}));
    EXPECT_EQ(table.Stations()[0].epoch, "e2");
}

TEST(StationTable, ForgetsTheStationLongestUnheardOfBeyondItsLimit)
{
    StationTable table(StationTable::Limits{3, 64});
    for (const char *name : {"a", "b", "c"})
        EXPECT_FALSE(table.Take({name, "status", "online", 6, true}).forgotten);
    table.Take(Telegram("b", "e", 1));
    table.Take(Telegram("a", "e", 1));
    table.Take({"c", "status", "online", 6, true});
    EXPECT_EQ(table.Take({"d", "status", "online", 6, true}).forgotten, "b");
    EXPECT_EQ(table.Size(), 3u);
    // A forgotten station starts afresh: what it sends again is shown.
    const StationTable::Outcome again = table.Take(Telegram("b", "e", 1));
    EXPECT_EQ(again.forgotten, "a");
    EXPECT_FALSE(again.repeat);
}
