#pragma once

#include "decoderline.h"

#include <string>
#include <string_view>
#include <vector>

namespace session {

// Telegrams as a table for spreadsheets: RFC 4180 (fields separated by
// commas, rows ended by CR LF, a field holding a comma, a quote or a line
// break quoted with its quotes doubled), UTF-8.
//
// German spreadsheet programs open a .csv with ";" as the list separator
// and read it as UTF-8 only after a byte-order mark: the second dialect,
// otherwise the same rules.
enum class CsvDialect { Rfc4180, ExcelSemicolon };

// The header row: time, identifier, designation, status, TKI, BS,
// direction, text; for ExcelSemicolon after the byte-order mark.
std::string TelegramCsvHeader(CsvDialect dialect = CsvDialect::Rfc4180);

// One telegram's row. `time` and `designation` are UTF-8; the telegram's
// 8-bit fields are decoded by the one text rule.
std::string TelegramCsvRow(std::string_view time, const decoder::Telegram &telegram, std::string_view designation,
                           CsvDialect dialect = CsvDialect::Rfc4180);

// Fields joined into one row.
std::string CsvRow(const std::vector<std::string> &fields, CsvDialect dialect = CsvDialect::Rfc4180);

} // namespace session
