#pragma once

#include "exception.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// A text that should have been a number was not one. Shared by every place
// that reads a number out of foreign text.
class EConvertError : public Exception { using Exception::Exception; };

// Reads a decimal 32-bit integer: optional leading blanks, an optional sign,
// then digits only. Anything else, or a value out of range, raises
// EConvertError "'%s' is not a valid integer value" naming the text.
int32_t StrToInt(std::string_view text);

// Replaces the first "%s" or "%d" of an already translated pattern.
std::string FormatMessageArg(std::string pattern, std::string_view arg);
// Replaces each "%s" or "%d" in turn by the next argument; an argument's own
// text is never read as a placeholder.
std::string FormatMessageArgs(std::string_view pattern, std::initializer_list<std::string_view> args);
