#include "resourcestring.h"

// Placeholder until the catalogue lookup lands: texts pass unchanged.
std::string TranslateResourceString(std::string_view text) { return std::string(text); }
void AddResourceStringDomain(const std::string &) {}
