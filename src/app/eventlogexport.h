#pragma once

#include "telegramcsv.h"

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

class EventLogContent;
class QWidget;

// What leaves the event log: copies to the clipboard, the saved log and the
// telegram table, as functions over its content.

// The kept lines given, as shown (times when shown), one per line.
QString EventLogText(const EventLogContent &content, const std::vector<int> &keptLines);
// The rows given, by their row number in view.
void CopyEventLogRows(const EventLogContent &content, const std::vector<int> &rows);
// Every kept line the filter lets through, the lines before a cleared view included.
void CopyWholeEventLog(const EventLogContent &content);
// UTF-8, one line per kept line, each with its time, the system's line ends
// (CR LF on Windows, as its editors expect). Raises the file errors of SaveFileBytes.
void SaveEventLog(const EventLogContent &content, const std::string &path);
// One row per kept telegram (time, identifier, designation, status, TKI,
// BS, direction, text), RFC 4180, UTF-8, or as German spreadsheet programs
// read it (the dialog's file type "CSV (Excel, Semikolon)"). Raises the file
// errors of SaveFileBytes.
void ExportEventLogTelegrams(const EventLogContent &content, const std::string &path,
                             session::CsvDialect dialect = session::CsvDialect::Rfc4180);
// The same after a save dialog in the documents folder, the name dated today.
void SaveEventLogWithDialog(const EventLogContent &content, QWidget *parent);
void ExportEventLogTelegramsWithDialog(const EventLogContent &content, QWidget *parent);
