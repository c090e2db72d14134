#pragma once

#include <string>
#include <string_view>

// The 8-bit text of the substitution list is Windows-1252. We carry our own
// tables so that neither comparisons nor display depend on which locales the
// machine happens to have installed.
namespace cp1252 {

// The Unicode character a byte stands for. The five bytes the code page
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the control
// characters of the same value, so every byte survives a round trip.
char16_t ToUnicode(unsigned char byte);

// The byte for a Unicode character, or -1 when the code page has none.
int FromUnicode(char32_t ch);

// Case folding to lower case for key comparison ("Ä" and "ä" are one key).
unsigned char FoldCase(unsigned char byte);
std::string FoldCase(std::string_view text);

} // namespace cp1252
