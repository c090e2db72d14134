#include "usersettings.h"

namespace {

UserSettingReader reader = nullptr;

std::string_view Trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string Unquoted(std::string_view value)
{
    if (value.size() < 2 || value.front() != '"' || value.back() != '"')
        return std::string(value);
    std::string out;
    for (size_t i = 1; i + 1 < value.size(); ++i) {
        char c = value[i];
        if (c == '\\' && i + 2 < value.size()) {
            c = value[++i];
            if (c == 't')
                c = '\t';
            else if (c == 'n')
                c = '\n';
            else if (c == 'r')
                c = '\r';
        }
        out += c;
    }
    return out;
}

} // namespace

std::string IniGeneralValue(std::string_view text, std::string_view key)
{
    bool inGeneral = true;
    std::string found;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = Trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inGeneral = line == "[General]";
            continue;
        }
        const size_t equals = line.find('=');
        if (inGeneral && equals != std::string_view::npos && Trimmed(line.substr(0, equals)) == key)
            found = Unquoted(Trimmed(line.substr(equals + 1)));   // the last one wins, as in the toolkit
    }
    return found;
}

void SetUserSettingReader(UserSettingReader newReader)
{
    reader = newReader;
}

std::string UserSetting(const std::string &key)
{
    return reader ? reader(key) : SystemUserSetting(key);
}
