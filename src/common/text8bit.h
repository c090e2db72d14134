#pragma once

#include <string>
#include <string_view>

// The one rule for 8-bit text (file contents, decoder bytes, server replies,
// messages built from them): text that is valid UTF-8 is UTF-8, anything
// else is Windows-1252. The log, the fields, the grid, the message boxes
// and the substitution file all decode through here.
enum class TextEncoding { Utf8, Windows1252 };

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text);

TextEncoding EncodingOf(std::string_view bytes);

// Bytes in the given encoding as UTF-8. Invalid sequences in UTF-8 mode are
// read byte by byte as Windows-1252, so nothing is lost.
std::string DecodeText(std::string_view bytes, TextEncoding encoding);
// The rule applied: any 8-bit text as UTF-8.
inline std::string TextToUtf8(std::string_view bytes) { return DecodeText(bytes, EncodingOf(bytes)); }

// UTF-8 text in the given encoding; characters Windows-1252 lacks become
// "?", as the system's own conversion does.
std::string EncodeText(std::string_view utf8, TextEncoding encoding);

// Lower-case folding for comparing keys regardless of case ("Ä" and "ä"
// are one key), in either encoding. Covers the Windows-1252 repertoire,
// Latin Extended-A, Greek and Cyrillic.
std::string FoldCase(std::string_view bytes, TextEncoding encoding);

// At most `limit` bytes of UTF-8 text, cut at a character boundary and then
// ending in "…", for messages that quote outside data: a box asked to lay out
// megabytes stalls the window.
inline constexpr size_t kQuotedTextLimit = 4000;
std::string ShortenUtf8(std::string_view utf8, size_t limit = kQuotedTextLimit);
