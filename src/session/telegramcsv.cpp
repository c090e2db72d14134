#include "telegramcsv.h"

#include "text8bit.h"

namespace session {

namespace {

std::string CsvField(std::string_view text)
{
    if (text.find_first_of(",\"\r\n") == std::string_view::npos)
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

std::string CsvRow(const std::vector<std::string> &fields)
{
    std::string row;
    for (size_t i = 0; i < fields.size(); ++i)
        row += (i ? "," : "") + CsvField(fields[i]);
    return row + "\r\n";
}

std::string TelegramCsvHeader()
{
    return CsvRow({"Zeit", "Kennung", "Bezeichnung", "Status", "TKI", "BS", "Richtung", "Text"});
}

std::string TelegramCsvRow(std::string_view time, const decoder::Telegram &telegram, std::string_view designation)
{
    return CsvRow({std::string(time), TextToUtf8(telegram.identifier), std::string(designation),
                   Character(telegram.status), Character(telegram.tacticalInfo), Character(telegram.stage),
                   telegram.DirectionText(), telegram.freeText ? TextToUtf8(*telegram.freeText) : std::string()});
}

} // namespace session
