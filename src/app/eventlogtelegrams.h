#pragma once

#include "decoderline.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The telegrams among the event log's lines, by line number, with their
// typed fields as the decoder reader gave them: the log's stored line stays
// the text the window writes, and names, filter and table export take the
// fields from here instead of reading the text again. Lines are only
// appended or all cleared, so the numbers rise.
class EventLogTelegrams {
public:
    struct Entry {
        int line;
        decoder::Telegram telegram;
    };

    void Add(int line, decoder::Telegram telegram) { entries_.push_back({line, std::move(telegram)}); }
    // The telegram shown in `line`, or null for any other line.
    const decoder::Telegram *At(int line) const;
    const std::vector<Entry> &Entries() const { return entries_; }
    void Clear() { entries_.clear(); }
    // The first `count` lines are gone: the others move up.
    void DropFirst(int count);

private:
    std::vector<Entry> entries_;
};

// The find bar's telegram filter: an 8-character identifier, a status
// character ("3" or "S:3") or a direction ("FZ->LS", "FZ<-LS"), letters in
// either case.
class TelegramFilter {
public:
    // None for an empty text or one of no such form.
    static std::optional<TelegramFilter> Parse(std::string_view text);
    bool Matches(const decoder::Telegram &telegram) const;

private:
    enum class Field { Identifier, Status, Direction };
    Field field_ = Field::Identifier;
    std::string value_;   // upper case
    bool toVehicle_ = false;
};
