#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The centre's view of its stations: each one's numbering (epoch and seq),
// the gaps in it, and which messages were already shown, so a repeat (QoS 1
// delivers at least once) is dropped and nothing else is. Toolkit-free and
// single-threaded: the caller feeds it messages in the broker's order.
//
// Memory stays bounded whatever names and numbers arrive: at most
// Limits::stations stations (the one longest unheard of is forgotten), and
// per station the shown seqs within Limits::repeatWindow of the highest one
// and the last few gap ranges.
namespace publish {

// One message of a station as the centre's subscriber receives it on
// PREFIX/STATION/LEAF.
struct StationEvent {
    std::string station;
    std::string leaf;         // "telegram", "line", "status" or "device"
    std::string payload;      // empty when larger than the subscriber's limit
    size_t size = 0;          // the payload's size as sent
    bool retained = false;
};

struct SeqRange {
    uint64_t first = 0;
    uint64_t last = 0;
};

class StationTable {
public:
    using Clock = std::chrono::system_clock;

    struct Limits {
        size_t stations = 1024;
        uint64_t repeatWindow = 4096;   // seqs below the highest shown that are remembered
    };

    // What the caller shows for one message.
    struct Outcome {
        bool repeat = false;                   // already shown: drop it
        std::vector<SeqRange> gaps;            // newly seen gaps, each reported once
        std::optional<std::string> forgotten;  // a station dropped to make room
    };

    struct StationState {
        std::string name;
        std::string epoch;
        uint64_t highestSeq = 0;      // 0: no numbered message yet
        uint64_t shown = 0;           // numbered messages shown
        uint64_t repeats = 0;         // dropped as repeats
        uint64_t missing = 0;         // seqs reported in gaps
        uint64_t spoolDropped = 0;    // what the station's spool-dropped notices counted
        std::vector<SeqRange> recentGaps;
        Clock::time_point lastHeard{};
    };

    StationTable();
    explicit StationTable(Limits limits);

    // A message as received: telegrams and lines are numbered by their JSON
    // members "epoch" and "seq"; a spool-dropped notice ("kind" of a line)
    // names "dropped" and its range "first_seq" to "last_seq".
    Outcome Take(const StationEvent &event);
    // A numbered message (telegram or line) of the station's epoch.
    Outcome Numbered(const std::string &station, const std::string &epoch, uint64_t seq);
    // The station's spool lost `count` messages; the range when it names one.
    Outcome SpoolDropped(const std::string &station, const std::string &epoch, uint64_t count,
                         std::optional<SeqRange> range);
    // Any other message (status, device): the station is alive.
    Outcome Heard(const std::string &station);

    // The table as text, for a centre that takes up where its last run left
    // off, and back. Load replaces the table; false (and the table left as
    // it was) for text that is not a saved table.
    std::string Save() const;
    bool Load(const std::string &saved);

    // The stations, the one heard of most recently first.
    std::vector<StationState> Stations() const;
    size_t Size() const { return order_.size(); }
    const Limits &Bounds() const { return limits_; }

private:
    struct Entry {
        StationState state;
        std::vector<uint64_t> shownBits;   // a ring over (highestSeq - window, highestSeq]
        bool numbered = false;             // highestSeq belongs to the current epoch
        std::list<std::string>::iterator position;
    };

    Entry &Touch(const std::string &station, Outcome &outcome);
    void StartEpoch(Entry &entry, const std::string &epoch);
    bool ShownBit(const Entry &entry, uint64_t seq) const;
    void SetShown(Entry &entry, uint64_t seq, bool shown);
    // The parts of `range` not reported before; they are reported now.
    void AddGap(Entry &entry, SeqRange range, Outcome &outcome);

    Limits limits_;
    std::list<std::string> order_;   // most recently heard first
    std::unordered_map<std::string, Entry> entries_;
};

} // namespace publish
