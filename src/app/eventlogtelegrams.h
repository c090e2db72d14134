#pragma once

#include "decoderline.h"

#include <cstdint>
#include <vector>

// The telegrams among the event log's lines, by line number, with their
// typed fields as the decoder reader gave them: the log's stored line stays
// the text the window writes, and names, filter and table export take the
// fields from here instead of reading the text again. Lines are only
// appended or all cleared, so the numbers rise.
class TEventLogTelegrams {
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

private:
    std::vector<Entry> entries_;
};
