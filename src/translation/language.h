#pragma once

#include <functional>
#include <string>

// Reads one environment variable; null when it is not set.
using EnvironmentLookup = std::function<const char *(const char *name)>;

// The language code catalogues are looked for under: LANG when it is set
// and not empty, otherwise the message locale as the C library resolves it
// (LC_ALL, then LC_MESSAGES), otherwise "C". Cut at the first ".", so
// de_DE.UTF-8 becomes de_DE.
std::string ChooseLanguage(const EnvironmentLookup &environment);
std::string ChooseLanguageFromEnvironment();

// Language code for a numeric locale identifier as some systems report it;
// "C" for identifiers not in the table.
std::string LanguageFromLocaleId(unsigned id);
