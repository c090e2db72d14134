#include "telegramcsv.h"

#include "text8bit.h"

namespace session {

namespace {

char Separator(CsvDialect dialect) { return dialect == CsvDialect::ExcelSemicolon ? ';' : ','; }

std::string CsvField(std::string_view text, char separator)
{
    const char special[] = {separator, '"', '\r', '\n', '\0'};
    if (text.find_first_of(special) == std::string_view::npos)
        return std::string(text);
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string Character(char c) { return c ? TextToUtf8(std::string(1, c)) : std::string(); }

} // namespace

std::string CsvRow(const std::vector<std::string> &fields, CsvDialect dialect)
{
    const char separator = Separator(dialect);
    std::string row;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i)
            row += separator;
        row += CsvField(fields[i], separator);
    }
    return row + "\r\n";
}

std::string TelegramCsvHeader(CsvDialect dialect)
{
    return (dialect == CsvDialect::ExcelSemicolon ? "\xEF\xBB\xBF" : "")
        + CsvRow({"Zeit", "Kennung", "Bezeichnung", "Status", "TKI", "BS", "Richtung", "Text"}, dialect);
}

std::string TelegramCsvRow(std::string_view time, const decoder::Telegram &telegram, std::string_view designation,
                           CsvDialect dialect)
{
    return CsvRow({std::string(time), TextToUtf8(telegram.identifier), std::string(designation),
                   Character(telegram.status), Character(telegram.tacticalInfo), Character(telegram.stage),
                   telegram.DirectionText(), telegram.freeText ? TextToUtf8(*telegram.freeText) : std::string()},
                  dialect);
}

} // namespace session
