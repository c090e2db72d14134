#include "language.h"

#include <cstdlib>
#include <cstring>

#include <windows.h>

std::string ChooseLanguageFromEnvironment()
{
    // LANG first, as on every system; then the user's default locale.
    const char *lang = std::getenv("LANG");
    if (lang != nullptr && *lang != '\0')
        return ChooseLanguage([lang](const char *name) -> const char * {
            return std::strcmp(name, "LANG") == 0 ? lang : nullptr;
        });
    char language[9] = {};
    char country[9] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, language, sizeof language) == 3 &&
        GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SISO3166CTRYNAME, country, sizeof country) == 3)
        return std::string(language) + "_" + country;
    return LanguageFromLocaleId(GetThreadLocale() & 0xFFFF);
}
