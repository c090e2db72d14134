#include "language.h"

#include <cstdlib>

std::string ChooseLanguageFromEnvironment()
{
    return ChooseLanguage([](const char *name) { return std::getenv(name); });
}
