#pragma once

#include <string>
#include <string_view>

// Every library message text (serial port, file and list handling, HTTP
// client) passes through here before it is shown. Without catalogues the
// text comes back unchanged.
std::string TranslateResourceString(std::string_view text);

// Appends a domain to the list searched for library messages ("default"
// is always first).
void AddResourceStringDomain(const std::string &name);
