#include "stationtable.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace publish {

namespace {

// Gap ranges kept per station to report each missing seq once, when both a
// jump in the numbering and a spool-dropped notice name it.
constexpr size_t KeptGaps = 8;

} // namespace

StationTable::StationTable() : StationTable(Limits{}) {}

StationTable::StationTable(Limits limits) : limits_(limits)
{
    limits_.stations = std::max<size_t>(limits_.stations, 1);
    limits_.repeatWindow = std::max<uint64_t>((limits_.repeatWindow + 63) / 64 * 64, 64);
}

StationTable::Entry &StationTable::Touch(const std::string &station, Outcome &outcome)
{
    auto found = entries_.find(station);
    if (found != entries_.end()) {
        order_.splice(order_.begin(), order_, found->second.position);
    } else {
        if (entries_.size() >= limits_.stations) {
            outcome.forgotten = order_.back();
            entries_.erase(order_.back());
            order_.pop_back();
        }
        order_.push_front(station);
        found = entries_.emplace(station, Entry{}).first;
        found->second.state.name = station;
        found->second.position = order_.begin();
    }
    found->second.state.lastHeard = Clock::now();
    return found->second;
}

void StationTable::StartEpoch(Entry &entry, const std::string &epoch)
{
    // A station heard with numbers before starts its new numbering at 1, so
    // what is missing from there is a gap too; one first heard mid-way is not.
    entry.numbered = entry.numbered || entry.state.highestSeq > 0;
    entry.state.epoch = epoch;
    entry.state.highestSeq = 0;
    entry.state.recentGaps.clear();
    entry.shownBits.clear();
}

bool StationTable::ShownBit(const Entry &entry, uint64_t seq) const
{
    const uint64_t at = seq % limits_.repeatWindow;
    return !entry.shownBits.empty() && (entry.shownBits[at / 64] >> (at % 64) & 1);
}

void StationTable::SetShown(Entry &entry, uint64_t seq, bool shown)
{
    if (entry.shownBits.empty())
        entry.shownBits.assign(limits_.repeatWindow / 64, 0);
    const uint64_t at = seq % limits_.repeatWindow;
    const uint64_t bit = uint64_t{1} << (at % 64);
    entry.shownBits[at / 64] = shown ? entry.shownBits[at / 64] | bit : entry.shownBits[at / 64] & ~bit;
}

void StationTable::AddGap(Entry &entry, SeqRange range, Outcome &outcome)
{
    std::vector<SeqRange> pieces{range};
    for (const SeqRange &known : entry.state.recentGaps) {
        std::vector<SeqRange> rest;
        for (const SeqRange &piece : pieces) {
            if (known.last < piece.first || known.first > piece.last) {
                rest.push_back(piece);
                continue;
            }
            if (piece.first < known.first)
                rest.push_back({piece.first, known.first - 1});
            if (piece.last > known.last)
                rest.push_back({known.last + 1, piece.last});
        }
        pieces.swap(rest);
    }
    // Nor what was shown: a notice may name a range that partly arrived.
    const uint64_t highest = entry.state.highestSeq;
    if (!entry.shownBits.empty()) {
        const uint64_t low = highest >= limits_.repeatWindow ? highest - limits_.repeatWindow + 1 : 1;
        std::vector<SeqRange> rest;
        for (const SeqRange &piece : pieces) {
            SeqRange open = piece;
            const uint64_t from = std::max(piece.first, low), to = std::min(piece.last, highest);
            for (uint64_t seq = from; seq <= to && from <= to; ++seq) {
                if (!ShownBit(entry, seq))
                    continue;
                if (seq > open.first)
                    rest.push_back({open.first, seq - 1});
                open.first = seq + 1;
            }
            if (open.first <= open.last)
                rest.push_back(open);
        }
        pieces.swap(rest);
    }
    for (const SeqRange &piece : pieces) {
        outcome.gaps.push_back(piece);
        entry.state.missing += piece.last - piece.first + 1;
        entry.state.recentGaps.push_back(piece);
        if (entry.state.recentGaps.size() > KeptGaps)
            entry.state.recentGaps.erase(entry.state.recentGaps.begin());
    }
}

StationTable::Outcome StationTable::Numbered(const std::string &station, const std::string &epoch, uint64_t seq)
{
    Outcome outcome;
    Entry &entry = Touch(station, outcome);
    if (entry.state.epoch != epoch)
        StartEpoch(entry, epoch);
    StationState &state = entry.state;
    if (seq == 0) {
        // Not a station's number (they count from 1): shown, not tracked.
        ++state.shown;
        return outcome;
    }
    const uint64_t window = limits_.repeatWindow;
    if (seq > state.highestSeq) {
        if (entry.numbered && seq > state.highestSeq + 1)
            AddGap(entry, {state.highestSeq + 1, seq - 1}, outcome);
        if (seq - state.highestSeq >= window || state.highestSeq == 0)
            entry.shownBits.clear();
        else
            for (uint64_t s = state.highestSeq + 1; s < seq; ++s)
                SetShown(entry, s, false);
        state.highestSeq = seq;
        entry.numbered = true;
        SetShown(entry, seq, true);
        ++state.shown;
        return outcome;
    }
    // Behind the highest: a repeat only when remembered as shown; too far
    // behind to tell, or never shown, it is shown.
    if (state.highestSeq - seq < window) {
        if (ShownBit(entry, seq)) {
            ++state.repeats;
            outcome.repeat = true;
            return outcome;
        }
        SetShown(entry, seq, true);
    }
    ++state.shown;
    return outcome;
}

StationTable::Outcome StationTable::SpoolDropped(const std::string &station, const std::string &epoch,
                                                 uint64_t count, std::optional<SeqRange> range)
{
    Outcome outcome;
    Entry &entry = Touch(station, outcome);
    if (entry.state.epoch != epoch)
        StartEpoch(entry, epoch);
    entry.state.spoolDropped += count;
    if (range && range->first > 0 && range->first <= range->last)
        AddGap(entry, *range, outcome);
    return outcome;
}

StationTable::Outcome StationTable::Take(const StationEvent &event)
{
    if (event.leaf != "telegram" && event.leaf != "line")
        return Heard(event.station);
    const nlohmann::json object = nlohmann::json::parse(event.payload, nullptr, false);
    if (object.is_discarded() || !object.is_object())
        return Heard(event.station);
    auto text = [&](const char *name) {
        const auto found = object.find(name);
        return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
    };
    auto number = [&](const char *name) -> std::optional<uint64_t> {
        const auto found = object.find(name);
        if (found == object.end() || !found->is_number_unsigned())
            return std::nullopt;
        return found->get<uint64_t>();
    };
    const std::string epoch = text("epoch");
    if (const auto seq = number("seq"))
        return Numbered(event.station, epoch, *seq);
    if (text("kind") == "spool-dropped") {
        const auto first = number("first_seq");
        const auto last = number("last_seq");
        return SpoolDropped(event.station, epoch, number("dropped").value_or(0),
                            first && last ? std::optional<SeqRange>(SeqRange{*first, *last}) : std::nullopt);
    }
    return Heard(event.station);
}

StationTable::Outcome StationTable::Heard(const std::string &station)
{
    Outcome outcome;
    Touch(station, outcome);
    return outcome;
}

std::string StationTable::Save() const
{
    nlohmann::json stations = nlohmann::json::array();
    for (auto name = order_.rbegin(); name != order_.rend(); ++name) {
        const Entry &entry = entries_.at(*name);
        const StationState &state = entry.state;
        nlohmann::json gaps = nlohmann::json::array();
        for (const SeqRange &gap : state.recentGaps)
            gaps.push_back({gap.first, gap.last});
        stations.push_back({{"name", state.name},
                            {"epoch", state.epoch},
                            {"highest", state.highestSeq},
                            {"numbered", entry.numbered},
                            {"shown", state.shown},
                            {"repeats", state.repeats},
                            {"missing", state.missing},
                            {"spool_dropped", state.spoolDropped},
                            {"gaps", gaps},
                            {"shown_bits", entry.shownBits}});
    }
    return nlohmann::json({{"window", limits_.repeatWindow}, {"stations", stations}})
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool StationTable::Load(const std::string &saved)
{
    const nlohmann::json all = nlohmann::json::parse(saved, nullptr, false);
    if (all.is_discarded() || !all.is_object() || all.value("window", uint64_t{0}) != limits_.repeatWindow ||
        !all.contains("stations") || !all["stations"].is_array())
        return false;
    std::list<std::string> order;
    std::unordered_map<std::string, Entry> entries;
    try {
        for (const nlohmann::json &station : all["stations"]) {
            Entry entry;
            StationState &state = entry.state;
            state.name = station.at("name").get<std::string>();
            state.epoch = station.at("epoch").get<std::string>();
            state.highestSeq = station.at("highest").get<uint64_t>();
            entry.numbered = station.at("numbered").get<bool>();
            state.shown = station.at("shown").get<uint64_t>();
            state.repeats = station.at("repeats").get<uint64_t>();
            state.missing = station.at("missing").get<uint64_t>();
            state.spoolDropped = station.at("spool_dropped").get<uint64_t>();
            for (const nlohmann::json &gap : station.at("gaps"))
                if (state.recentGaps.size() < KeptGaps)
                    state.recentGaps.push_back({gap.at(0).get<uint64_t>(), gap.at(1).get<uint64_t>()});
            entry.shownBits = station.at("shown_bits").get<std::vector<uint64_t>>();
            if (!entry.shownBits.empty() && entry.shownBits.size() != limits_.repeatWindow / 64)
                return false;
            if (entries.count(state.name))
                return false;
            if (entries.size() == limits_.stations) {
                entries.erase(order.back());
                order.pop_back();
            }
            order.push_front(state.name);
            entry.position = order.begin();
            entries.emplace(state.name, std::move(entry));
        }
    } catch (const nlohmann::json::exception &) {
        return false;
    }
    order_.swap(order);
    entries_.swap(entries);
    // The list nodes moved with the swap; the iterators into them stay valid.
    return true;
}

std::vector<StationTable::StationState> StationTable::Stations() const
{
    std::vector<StationState> states;
    states.reserve(order_.size());
    for (const std::string &name : order_)
        states.push_back(entries_.at(name).state);
    return states;
}

} // namespace publish
