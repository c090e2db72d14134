#pragma once

#include <string>
#include <string_view>

// Every library message text (serial port, file and list handling, HTTP
// client) passes through here before it is shown. Without catalogues the
// text comes back unchanged.
std::string TranslateResourceString(std::string_view text);

// Appends a domain to the list searched for library messages ("default"
// is always first). A name already in the list is not added again.
void AddResourceStringDomain(const std::string &name);

// Sets up the catalogue lookup; call once in main() before the window is
// built. programPath is the program file itself: catalogues are looked for
// inside the program file, then in <its directory>/locale/<language>/
// LC_MESSAGES/<domain>.mo, or, without that folder, in the installed
// layout's <its directory>/../share/karvenzop/locale. Until this has run every text passes unchanged.
void InitializeTranslation(const std::string &programPath);
// Releases the lookup; texts pass unchanged again afterwards.
void FinalizeTranslation();

// The running program's file, for InitializeTranslation().
std::string ResolvedProgramPath();

// The translation of text in one domain through the process's lookup; the
// text unchanged before InitializeTranslation().
std::string TranslateText(std::string_view domain, std::string_view text);
