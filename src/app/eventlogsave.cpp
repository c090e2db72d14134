// What leaves the log: copies to the clipboard and saved files.
#include "eventlog.h"

#include "fileio.h"
#include "windowplatform.h"

#include <QApplication>
#include <QClipboard>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>

QString TEventLog::JoinedText(const std::vector<int> &rows) const
{
    QString all;
    for (int row : rows) {
        all += VisibleText(LineOf(row));
        all += QLatin1Char('\n');
    }
    return all;
}

void TEventLog::CopySelection() const
{
    const std::vector<int> rows = SelectedRows();
    if (!rows.empty())
        QApplication::clipboard()->setText(JoinedText(rows));
}

void TEventLog::CopyAll() const
{
    std::vector<int> rows(static_cast<size_t>(RowCount()));
    for (int i = 0; i < RowCount(); ++i)
        rows[static_cast<size_t>(i)] = i;
    QApplication::clipboard()->setText(JoinedText(rows));
}

void TEventLog::SaveToFile(const std::string &path) const
{
    std::string bytes;
    for (int row = 0; row < Count(); ++row) {
        bytes += LineText(row, true).toStdString();   // a saved log always carries the times
        bytes += SavedLineEnd;
    }
    SaveFileBytes(path, bytes);
}

QString TEventLog::AskSavePath(const QString &title, const QString &baseName, const QStringList &filters,
                               const QString &suffix, int *chosen)
{
    QFileDialog dialog(this, title);
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

void TEventLog::SaveWithDialog()
{
    const QString path = AskSavePath(QStringLiteral("Protokoll speichern"), QStringLiteral("KarvenZop-Protokoll-"),
                                     {QStringLiteral("Textdateien (*.txt)")}, QStringLiteral("txt"));
    if (!path.isEmpty())
        SaveToFile(path.toStdString());
}
