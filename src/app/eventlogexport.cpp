#include "eventlogexport.h"

#include "eventlogcontent.h"
#include "fileio.h"
#include "telegramcsv.h"
#include "windowplatform.h"

#include <QApplication>
#include <QClipboard>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>

namespace {

// The file types offered first, "Alle Dateien" last; `chosen`: the index of
// the file type the user left selected.
QString AskSavePath(QWidget *parent, const QString &title, const QString &baseName, const QStringList &filters,
                    const QString &suffix, int *chosen = nullptr)
{
    QFileDialog dialog(parent, title);
    dialog.setObjectName(QStringLiteral("LogSaveDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilters(filters + QStringList{QStringLiteral("Alle Dateien (*)")});
    dialog.setDefaultSuffix(suffix);
    // Where a user keeps documents, not the tool's working folder (made
    // when a fresh account has none yet).
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QDir().mkpath(documents);
    dialog.setDirectory(documents);
    dialog.selectFile(baseName + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + "." + suffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    if (chosen)
        *chosen = static_cast<int>(filters.indexOf(dialog.selectedNameFilter()));
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
        bytes += SavedLineEnd;
    }
    SaveFileBytes(path, bytes);
}

void ExportEventLogTelegrams(const EventLogContent &content, const std::string &path, session::CsvDialect dialect)
{
    std::string table = session::TelegramCsvHeader(dialect);
    for (const EventLogTelegrams::Entry &entry : content.Telegrams().Entries())
        table += session::TelegramCsvRow(content.KeptTime(entry.line).toStdString(), entry.telegram,
                                         content.Designation(entry.telegram.identifier).toStdString(), dialect);
    SaveFileBytes(path, table);
}

void SaveEventLogWithDialog(const EventLogContent &content, QWidget *parent)
{
    const QString path = AskSavePath(parent, QStringLiteral("Protokoll speichern"), QStringLiteral("KarvenZop-Protokoll-"),
                                     {QStringLiteral("Textdateien (*.txt)")}, QStringLiteral("txt"));
    if (!path.isEmpty())
        SaveEventLog(content, path.toStdString());
}

void ExportEventLogTelegramsWithDialog(const EventLogContent &content, QWidget *parent)
{
    // The designed form first, as the default.
    int chosen = 0;
    const QString path = AskSavePath(parent, QStringLiteral("Telegramme exportieren"),
                                     QStringLiteral("KarvenZop-Telegramme-"),
                                     {QStringLiteral("CSV (RFC 4180) (*.csv)"),
                                      QStringLiteral("CSV (Excel, Semikolon) (*.csv)")},
                                     QStringLiteral("csv"), &chosen);
    if (!path.isEmpty())
        ExportEventLogTelegrams(content, path.toStdString(),
                                chosen == 1 ? session::CsvDialect::ExcelSemicolon : session::CsvDialect::Rfc4180);
}
