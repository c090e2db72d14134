#include "eventlogcontent.h"

#include "errorbox.h"

#include <QDateTime>

#include <algorithm>

QString WithControlPictures(QString text)
{
    for (QChar &c : text) {
        if (c.unicode() < 0x20)
            c = QChar(0x2400 + c.unicode());
        else if (c.unicode() == 0x7F)
            c = QChar(0x2421);
    }
    return text;
}

int EventLogContent::Store(std::string_view line, int &droppedRows)
{
    droppedRows = 0;
    const int dropped = lines_.Append(line);
    if (dropped == 0)
        return lines_.Count() - 1;
    telegrams_.DropFirst(dropped);
    droppedRows = std::max(dropped - viewStart_, 0);
    if (filter_) {
        const auto kept = std::lower_bound(shown_.begin(), shown_.end(), dropped);
        droppedRows = static_cast<int>(kept - shown_.begin());
        shown_.erase(shown_.begin(), kept);
        for (int &shown : shown_)
            shown -= dropped;
    }
    viewStart_ = std::max(viewStart_ - dropped, 0);
    // The notice goes after the line that made room, which then sits one before the end.
    lines_.Append("Protokoll: die ältesten " + std::to_string(dropped) + " Zeilen verworfen (es behält die neuesten " +
                  std::to_string(EventLogLines::KeptLines) + " Zeilen)");
    return lines_.Count() - 2;
}

int EventLogContent::Append(std::string_view line)
{
    int droppedRows = 0;
    Store(line, droppedRows);
    return droppedRows;
}

int EventLogContent::AppendTelegram(std::string_view line, const decoder::Telegram &telegram)
{
    int droppedRows = 0;
    const int stored = Store(line, droppedRows);
    telegrams_.Add(stored, telegram);
    if (filter_ && filter_->Matches(telegram))
        shown_.push_back(stored);
    return droppedRows;
}

void EventLogContent::Clear()
{
    lines_.Clear();
    telegrams_.Clear();
    shown_.clear();
    viewStart_ = 0;
}

void EventLogContent::ClearView()
{
    // Nothing before it, nothing to mark.
    if (Count() > 0) {
        int droppedRows = 0;
        Store(ViewClearedMark, droppedRows);
    }
    viewStart_ = lines_.Count();
    shown_.clear();
}

QString EventLogContent::Text(int index) const { return AnsiToQString(std::string(Line(index))); }

// Local time of a line, for the view, copies and saved files. Lines come in
// bursts, so the local date and time are worked out once per second: saving
// a million lines would otherwise spend seconds in time zone rules.
QString EventLogContent::FormatTime(int64_t msecs) const
{
    const int64_t second = msecs >= 0 ? msecs / 1000 : (msecs - 999) / 1000;
    if (second != cachedSecond_) {
        cachedSecond_ = second;
        cachedSecondText_ =
            QDateTime::fromMSecsSinceEpoch(second * 1000).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    return cachedSecondText_ + QStringLiteral(".%1").arg(msecs - second * 1000, 3, 10, QLatin1Char('0'));
}

int EventLogContent::TimePrefixLength(int index) const
{
    return timesShown_ ? static_cast<int>(FormatTime(Time(index)).size()) + 2 : 0;
}

QString EventLogContent::KeptText(int index, bool withTime) const
{
    QString text = withTime ? FormatTime(lines_.Time(index)) + QStringLiteral("  ") : QString();
    text += WithControlPictures(AnsiToQString(std::string(lines_.Line(index))));
    if (namesShown_ && designationOf_)
        if (const decoder::Telegram *telegram = telegrams_.At(index))
            if (const QString name = designationOf_(telegram->identifier); !name.isEmpty())
                text += QStringLiteral("  [") + name + QStringLiteral("]");
    return text;
}

QString EventLogContent::Designation(const std::string &identifier) const
{
    return designationOf_ ? designationOf_(identifier) : QString();
}

bool EventLogContent::LineMatches(int index, const QString &needle) const
{
    // Plain ASCII search text is matched on the stored bytes, so a search
    // through a million lines decodes none of them.
    bool ascii = true;
    for (QChar c : needle)
        ascii = ascii && c.unicode() >= 0x20 && c.unicode() < 0x7F;
    if (ascii) {
        const QByteArray pattern = needle.toLatin1().toLower();
        const std::string_view line = Line(index);
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        return std::search(line.begin(), line.end(), pattern.begin(), pattern.end(),
                           [&](char a, char b) { return lower(a) == b; }) != line.end();
    }
    return WithControlPictures(Text(index)).contains(needle, Qt::CaseInsensitive);
}

int EventLogContent::RowOf(int line) const
{
    if (!filter_)
        return line >= 0 && line < Count() ? line : -1;
    const auto found = std::lower_bound(shown_.begin(), shown_.end(), line + viewStart_);
    return found != shown_.end() && *found == line + viewStart_ ? static_cast<int>(found - shown_.begin()) : -1;
}

void EventLogContent::SetFilter(std::optional<TelegramFilter> filter)
{
    filter_ = std::move(filter);
    shown_.clear();
    if (filter_)
        for (const EventLogTelegrams::Entry &entry : telegrams_.Entries())
            if (entry.line >= viewStart_ && filter_->Matches(entry.telegram))
                shown_.push_back(entry.line);
}

std::vector<int> EventLogContent::KeptRows() const
{
    std::vector<int> rows;
    if (filter_) {
        for (const EventLogTelegrams::Entry &entry : telegrams_.Entries())
            if (filter_->Matches(entry.telegram))
                rows.push_back(entry.line);
        return rows;
    }
    rows.resize(static_cast<size_t>(KeptCount()));
    for (int i = 0; i < KeptCount(); ++i)
        rows[static_cast<size_t>(i)] = i;
    return rows;
}
