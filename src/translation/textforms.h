#pragma once

#include <string>
#include <string_view>

// Catalogue keys carry bare LF line ends; texts shown on the window use
// CR LF. These helpers move between the two forms.
std::string RemoveCarriageReturns(std::string_view text);
// Inserts a CR before every LF that has none before it.
std::string RestoreCrLf(std::string_view text);

// A catalogue translation as shown: CR LF line ends, or empty when it is
// not valid UTF-8 (our 8-bit strings are UTF-8, so decoding is checking).
std::string DecodeTranslation(std::string_view text);

