#pragma once

#include "eventloglines.h"
#include "eventlogtelegrams.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Control bytes (the decoder's field separator, line feeds) as visible
// symbols from the Control Pictures block instead of empty boxes.
QString WithControlPictures(QString text);

// Owns what the event log holds and how each line reads: the kept lines with
// their telegrams, the part in view, the rows a filter lets through, and a
// line's text with its time, control pictures and name.
//
// A firmware update's report starts a fresh view, but the lines before it
// stay kept (behind a line that marks the place) for saving, copying all
// and the telegram export, within the store's one bound. Lines in view are
// counted from that place; kept lines from the oldest kept.
class EventLogContent {
public:
    using DesignationLookup = std::function<QString(const std::string &identifier)>;
    static constexpr const char *ViewClearedMark = "Protokoll: Anzeige für den Bootloader-Bericht geleert, frühere Zeilen davor";

    // Both return how many rows left the view because the oldest lines went.
    int Append(std::string_view line);
    int AppendTelegram(std::string_view line, const decoder::Telegram &telegram);
    // Forgets every line.
    void Clear();
    // An empty view; the lines so far stay kept.
    void ClearView();

    // Lines in view.
    int Count() const { return lines_.Count() - viewStart_; }
    std::string_view Line(int index) const { return lines_.Line(viewStart_ + index); }
    // Arrival time, milliseconds since the epoch (UTC).
    int64_t Time(int index) const { return lines_.Time(viewStart_ + index); }
    // The line decoded, whole.
    QString Text(int index) const;
    // The line as shown, whole: arrival time when times are shown, control
    // pictures, the designation when names are shown.
    QString VisibleText(int index) const { return KeptText(viewStart_ + index, timesShown_); }
    // The length of the time before the text when times are shown.
    int TimePrefixLength(int index) const;
    bool LineMatches(int index, const QString &needle) const;

    // Rows are the lines shown: all in view, or while a filter is set the
    // telegram lines it matches.
    int RowCount() const { return filter_ ? static_cast<int>(shown_.size()) : Count(); }
    int LineOf(int row) const { return filter_ ? shown_[static_cast<size_t>(row)] - viewStart_ : row; }
    // The row showing the line, -1 when the filter hides it.
    int RowOf(int line) const;
    bool Filtered() const { return filter_.has_value(); }
    void SetFilter(std::optional<TelegramFilter> filter);

    // The store itself, oldest kept line first.
    const EventLogLines &Lines() const { return lines_; }
    // Every kept line, the marks included: what saving and copying all give.
    int KeptCount() const { return lines_.Count(); }
    QString KeptText(int index, bool withTime) const;
    // The kept lines the filter lets through, all without one.
    std::vector<int> KeptRows() const;
    // The kept telegrams by kept line, with their times and designations.
    const EventLogTelegrams &Telegrams() const { return telegrams_; }
    QString KeptTime(int index) const { return FormatTime(lines_.Time(index)); }
    QString Designation(const std::string &identifier) const;

    bool TimesShown() const { return timesShown_; }
    void SetTimesShown(bool shown) { timesShown_ = shown; }
    // Telegram lines shown, copied and saved with the designation the lookup
    // gives for their identifier; the stored line stays as it is.
    bool NamesShown() const { return namesShown_; }
    void SetNamesShown(bool shown) { namesShown_ = shown; }
    void SetDesignationLookup(DesignationLookup lookup) { designationOf_ = std::move(lookup); }

private:
    // Stores the line; returns its kept number, and in `droppedRows` the rows gone from view.
    int Store(std::string_view line, int &droppedRows);
    QString FormatTime(int64_t msecs) const;

    EventLogLines lines_;
    EventLogTelegrams telegrams_;
    int viewStart_ = 0;   // the first kept line in view
    std::optional<TelegramFilter> filter_;
    std::vector<int> shown_;   // the kept lines in view matching filter_, in order
    bool timesShown_ = false;
    bool namesShown_ = false;
    DesignationLookup designationOf_;
    mutable int64_t cachedSecond_ = INT64_MIN;
    mutable QString cachedSecondText_;
};
