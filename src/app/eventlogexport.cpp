#include "eventlogexport.h"

#include "eventlogcontent.h"
#include "fileio.h"
#include "telegramcsv.h"

#include <QApplication>
#include <QClipboard>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>

namespace {

QString AskSavePath(QWidget *parent, const QString &title, const QString &baseName, const QString &filter,
                    const QString &suffix)
{
    QFileDialog dialog(parent, title);
    dialog.setObjectName(QStringLiteral("LogSaveDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilters({filter, QStringLiteral("Alle Dateien (*)")});
    dialog.setDefaultSuffix(suffix);
    // Where a user keeps documents, not the tool's working folder (made
    // when a fresh account has none yet).
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QDir().mkpath(documents);
    dialog.setDirectory(documents);
    dialog.selectFile(baseName + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + "." + suffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

} // namespace

QString EventLogText(const EventLogContent &content, const std::vector<int> &keptLines)
{
    QString all;
    for (int line : keptLines) {
        all += content.KeptText(line, content.TimesShown());
        all += QLatin1Char('\n');
    }
    return all;
}

void CopyEventLogRows(const EventLogContent &content, const std::vector<int> &rows)
{
    if (rows.empty())
        return;
    std::vector<int> kept;
    kept.reserve(rows.size());
    const int viewStart = content.KeptCount() - content.Count();
    for (int row : rows)
        kept.push_back(viewStart + content.LineOf(row));
    QApplication::clipboard()->setText(EventLogText(content, kept));
}

void CopyWholeEventLog(const EventLogContent &content)
{
    QApplication::clipboard()->setText(EventLogText(content, content.KeptRows()));
}

void SaveEventLog(const EventLogContent &content, const std::string &path)
{
    std::string bytes;
    for (int line = 0; line < content.KeptCount(); ++line) {
        bytes += content.KeptText(line, true).toStdString();   // a saved log always carries the times
        bytes += '\n';
    }
    SaveFileBytes(path, bytes);
}

void ExportEventLogTelegrams(const EventLogContent &content, const std::string &path)
{
    std::string table = session::TelegramCsvHeader();
    for (const EventLogTelegrams::Entry &entry : content.Telegrams().Entries())
        table += session::TelegramCsvRow(content.KeptTime(entry.line).toStdString(), entry.telegram,
                                         content.Designation(entry.telegram.identifier).toStdString());
    SaveFileBytes(path, table);
}

void SaveEventLogWithDialog(const EventLogContent &content, QWidget *parent)
{
    const QString path = AskSavePath(parent, QStringLiteral("Protokoll speichern"), QStringLiteral("KarvenZop-Protokoll-"),
                                     QStringLiteral("Textdateien (*.txt)"), QStringLiteral("txt"));
    if (!path.isEmpty())
        SaveEventLog(content, path.toStdString());
}

void ExportEventLogTelegramsWithDialog(const EventLogContent &content, QWidget *parent)
{
    const QString path = AskSavePath(parent, QStringLiteral("Telegramme exportieren"),
                                     QStringLiteral("KarvenZop-Telegramme-"), QStringLiteral("CSV-Dateien (*.csv)"),
                                     QStringLiteral("csv"));
    if (!path.isEmpty())
        ExportEventLogTelegrams(content, path.toStdString());
}
