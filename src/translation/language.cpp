#include "language.h"

#include <cstdlib>

namespace {

std::string CutAtDot(std::string code)
{
    const auto dot = code.find('.');
    if (dot != std::string::npos)
        code.erase(dot);
    return code;
}

} // namespace

std::string ChooseLanguage(const EnvironmentLookup &environment)
{
    auto value = [&](const char *name) -> std::string {
        const char *text = environment(name);
        return text != nullptr ? std::string(text) : std::string();
    };
    std::string code = value("LANG");
    if (code.empty()) {
        for (const char *name : {"LC_ALL", "LC_MESSAGES"}) {
            code = value(name);
            if (!code.empty())
                break;
        }
        // "POSIX" names the C locale; neither has catalogues.
        if (code.empty() || code == "POSIX")
            return "C";
    }
    return CutAtDot(code);
}

std::string LanguageFromLocaleId(unsigned id)
{
    switch (id) {
    case 1030: return "da_DK";
    case 1031: return "de_DE";
    case 1032: return "gr_GR";
    case 1033: return "en_US";
    case 1034: return "es_ES";
    case 3082: return "es_ES";
    case 1035: return "fi_FI";
    case 1036: return "fr_FR";
    case 1039: return "is_IS";
    case 1040: return "it_IT";
    case 1042: return "ko_KO";
    case 1043: return "nl_NL";
    case 1044: return "no_NO";
    case 1045: return "pl_PL";
    case 1046: return "pt_BR";
    case 1049: return "ru_RU";
    case 1053: return "sv_SE";
    case 2057: return "en_UK";
    case 2060: return "fr_BE";
    case 2067: return "nl_BE";
    case 2068: return "nn_NO";
    case 2070: return "pt_PT";
    case 2077: return "fi_SE";
    case 3084: return "fr_CA";
    case 4103: return "de_LU";
    default: return "C";
    }
}
