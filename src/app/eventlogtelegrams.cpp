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

// ---- The event log's telegram lines: names and the table export

void TEventLog::AppendTelegram(std::string_view line, const decoder::Telegram &telegram)
{
    Append(line);
    telegrams_.Add(Count() - 1, telegram);
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

void TEventLog::ExportTelegrams(const std::string &path) const
{
    std::string table = session::TelegramCsvHeader();
    for (const TEventLogTelegrams::Entry &entry : telegrams_.Entries()) {
        const QString name = designationOf_ ? designationOf_(entry.telegram.identifier) : QString();
        table += session::TelegramCsvRow(FormatTime(lines_.Time(entry.line)).toStdString(), entry.telegram,
                                         name.toStdString());
    }
    SaveFileBytes(path, table);
}

void TEventLog::ExportTelegramsWithDialog()
{
    const QString path = AskSavePath(QStringLiteral("Telegramme exportieren"), QStringLiteral("KarvenZop-Telegramme-"),
                                     QStringLiteral("CSV-Dateien (*.csv)"), QStringLiteral("csv"));
    if (!path.isEmpty())
        ExportTelegrams(path.toStdString());
}
