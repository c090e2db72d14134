// The board's fleet state fed as the centre's subscriber feeds it: what a
// page and a scraper see of repeats, gaps, limits and catch-up.
#include "fleetstate.h"

#include <nlohmann/json.hpp>
#include <gtest/gtest.h>

using Json = nlohmann::json;

namespace {

publish::StationEvent Telegram(const std::string &station, uint64_t seq, const std::string &identifier,
                               const std::string &designation = "<b>RTW</b>")
{
    const std::string payload = Json{{"station", station}, {"epoch", "e1"}, {"seq", seq},
                                     {"time", "2026-12-07T12:00:00.000+01:00"}, {"kind", "telegram"},
                                     {"identifier", identifier}, {"status", "3"}, {"direction", "FZ->LS"},
                                     {"text", ""}, {"designation", designation}}
                                    .dump();
    return {station, "telegram", payload, payload.size(), false};
}

Json State(const publish::FleetState &fleet) { return Json::parse(fleet.StateJson()); }

} // namespace

TEST(FleetState, DropsRepeatsCountsGapsOnceAndKeepsNamesAsText)
{
    publish::FleetState fleet({}, [](const std::string &id) { return id == "61234521" ? "RTW 1" : ""; });
    for (uint64_t seq : {1, 2, 2, 5, 3, 5})
        fleet.Take(Telegram("w1", seq, seq == 2 ? "61234521" : "62051183"));
    const Json state = State(fleet);
    const Json &station = state["stations"][0];
    EXPECT_EQ(station["telegrams"], 4);   // 1, 2, 5 and the late 3
    EXPECT_EQ(station["repeats"], 2);
    // 3 and 4 were missing when 5 came; a gap is counted when it is seen.
    EXPECT_EQ(station["gaps"], 2);
    ASSERT_EQ(state["gaps"].size(), 1u) << state["gaps"];
    EXPECT_EQ(state["gaps"][0]["first_seq"], 3);
    EXPECT_EQ(state["gaps"][0]["last_seq"], 4);
    EXPECT_EQ(state["vehicles"][1]["designation"], "RTW 1");    // the board's list first
    EXPECT_EQ(state["vehicles"][0]["designation"], "<b>RTW</b>");   // else the station's, as it came
    const std::string metrics = fleet.Metrics();
    EXPECT_NE(metrics.find("karvenzop_station_telegrams_total{station=\"w1\"} 4\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("karvenzop_station_gaps_total{station=\"w1\"} 2\n"), std::string::npos) << metrics;
}

TEST(FleetState, StaysWithinItsLimits)
{
    publish::FleetLimits limits;
    limits.stations = 3;
    limits.vehicles = 5;
    limits.telegrams = 4;
    limits.field = 10;
    publish::FleetState fleet(limits);
    for (int i = 0; i < 20; ++i)
        fleet.Take(Telegram("w" + std::to_string(i % 4), static_cast<uint64_t>(i / 4 + 1), "6000000" + std::to_string(i % 10),
                            std::string(100, 'x')));
    const Json state = State(fleet);
    EXPECT_EQ(state["stations"].size(), 3u);
    EXPECT_EQ(state["stations_refused"], 5);
    EXPECT_EQ(state["vehicles"].size(), 5u);
    EXPECT_EQ(state["vehicles"][0]["identifier"], "60000008");   // the newest first; w3's 9 was refused
    EXPECT_EQ(state["telegrams"].size(), 4u);
    EXPECT_EQ(state["vehicles"][0]["designation"], std::string(10, 'x'));
    const std::string huge(70000, 'a');
    fleet.Take({"w0", "line", huge, huge.size(), false});
    EXPECT_NE(fleet.Metrics().find("karvenzop_board_oversized_messages_total 1\n"), std::string::npos);
}

TEST(FleetState, CatchesUpFromAKnownEventAndOtherwiseSaysStartAgain)
{
    publish::FleetLimits limits;
    limits.history = 6;
    publish::FleetState fleet(limits);
    fleet.Take(Telegram("w1", 1, "61234521"));
    const std::string drawn = State(fleet)["event_id"];
    fleet.Take(Telegram("w1", 2, "61234522"));
    const auto missed = fleet.UpdatesAfter(drawn);
    ASSERT_TRUE(missed);
    ASSERT_EQ(missed->size(), 3u);   // telegram, vehicle, station
    EXPECT_EQ((*missed)[0].kind, "telegram");
    EXPECT_NE((*missed)[0].json.find("61234522"), std::string::npos);
    EXPECT_TRUE(fleet.UpdatesAfter(missed->back().id)->empty());
    // Another run of the program, or too far behind: no partial catch-up.
    publish::FleetState restarted(limits);
    restarted.Take(Telegram("w1", 1, "61234521"));
    restarted.Take(Telegram("w1", 2, "61234521"));
    EXPECT_FALSE(restarted.UpdatesAfter(drawn));
    fleet.Take(Telegram("w1", 3, "61234521"));
    fleet.Take(Telegram("w1", 4, "61234521"));
    EXPECT_FALSE(fleet.UpdatesAfter(drawn));
    EXPECT_FALSE(fleet.UpdatesAfter("nonsense"));
}
