#include "eventlogtelegrams.h"

#include "eventlog.h"
#include "fileio.h"
#include "telegramcsv.h"

#include <QAction>

#include <algorithm>

const decoder::Telegram *TEventLogTelegrams::At(int line) const
{
    const auto found = std::lower_bound(entries_.begin(), entries_.end(), line,
                                        [](const Entry &entry, int wanted) { return entry.line < wanted; });
    return found != entries_.end() && found->line == line ? &found->telegram : nullptr;
}

void TEventLogTelegrams::DropFirst(int count)
{
    const auto kept = std::lower_bound(entries_.begin(), entries_.end(), count,
                                       [](const Entry &entry, int wanted) { return entry.line < wanted; });
    entries_.erase(entries_.begin(), kept);
    for (Entry &entry : entries_)
        entry.line -= count;
}

namespace {

std::string Upper(std::string_view text)
{
    std::string upper(text);
    for (char &c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

} // namespace

std::optional<TelegramFilter> TelegramFilter::Parse(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    std::string upper = Upper(text);
    TelegramFilter filter;
    if (upper == "FZ->LS" || upper == "FZ<-LS") {
        filter.field_ = Field::Direction;
        filter.toVehicle_ = upper == "FZ<-LS";
    } else if (upper.size() == 8) {
        filter.field_ = Field::Identifier;
        filter.value_ = std::move(upper);
    } else if (upper.size() == 1 || (upper.size() == 3 && upper.starts_with("S:"))) {
        filter.field_ = Field::Status;
        filter.value_ = upper.substr(upper.size() - 1);
    } else {
        return std::nullopt;
    }
    return filter;
}

bool TelegramFilter::Matches(const decoder::Telegram &telegram) const
{
    switch (field_) {
    case Field::Identifier: return Upper(telegram.identifier) == value_;
    case Field::Status: return Upper(std::string_view(&telegram.status, 1)) == value_;
    case Field::Direction: return telegram.toVehicle == toVehicle_;
    }
    return false;
}

// ---- The event log's telegram lines: names and the table export

void TEventLog::AppendTelegram(std::string_view line, const decoder::Telegram &telegram)
{
    const int stored = StoreLine(line);
    telegrams_.Add(stored, telegram);
    if (filter_ && filter_->Matches(telegram))
        shown_.push_back(stored);
}

void TEventLog::SetNamesShown(bool shown) { SetViewOption(showNames_, namesShown_, shown); }

QString TEventLog::DesignationSuffix(int index) const
{
    if (!namesShown_ || !designationOf_)
        return {};
    const decoder::Telegram *telegram = telegrams_.At(index);
    if (!telegram)
        return {};
    const QString name = designationOf_(telegram->identifier);
    return name.isEmpty() ? QString() : QStringLiteral("  [") + name + QStringLiteral("]");
}

void TEventLog::ExportTelegrams(const std::string &path, session::CsvDialect dialect) const
{
    std::string table = session::TelegramCsvHeader(dialect);
    for (const TEventLogTelegrams::Entry &entry : telegrams_.Entries()) {
        const QString name = designationOf_ ? designationOf_(entry.telegram.identifier) : QString();
        table += session::TelegramCsvRow(FormatTime(lines_.Time(entry.line)).toStdString(), entry.telegram,
                                         name.toStdString(), dialect);
    }
    SaveFileBytes(path, table);
}

void TEventLog::ExportTelegramsWithDialog()
{
    // The designed form first, as the default.
    int chosen = 0;
    const QString path = AskSavePath(QStringLiteral("Telegramme exportieren"), QStringLiteral("KarvenZop-Telegramme-"),
                                     {QStringLiteral("CSV (RFC 4180) (*.csv)"),
                                      QStringLiteral("CSV (Excel, Semikolon) (*.csv)")},
                                     QStringLiteral("csv"), &chosen);
    if (!path.isEmpty())
        ExportTelegrams(path.toStdString(),
                        chosen == 1 ? session::CsvDialect::ExcelSemicolon : session::CsvDialect::Rfc4180);
}
