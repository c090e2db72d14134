#include "convert.h"

#include "resourcestring.h"

#include <limits>

std::string FormatMessageArg(std::string pattern, std::string_view arg)
{
    for (size_t at = pattern.find('%'); at != std::string::npos && at + 1 < pattern.size();
         at = pattern.find('%', at + 1)) {
        if (pattern[at + 1] == 's' || pattern[at + 1] == 'd') {
            pattern.replace(at, 2, arg);
            break;
        }
    }
    return pattern;
}

std::string FormatMessageArgs(std::string_view pattern, std::initializer_list<std::string_view> args)
{
    std::string text;
    auto next = args.begin();
    for (size_t at = 0; at < pattern.size(); ++at) {
        if (pattern[at] == '%' && at + 1 < pattern.size() && (pattern[at + 1] == 's' || pattern[at + 1] == 'd')
            && next != args.end()) {
            text += *next++;
            ++at;
        } else {
            text += pattern[at];
        }
    }
    return text;
}

int32_t StrToInt(std::string_view text)
{
    auto fail = [&]() {
        return EConvertError(FormatMessageArg(
            TranslateResourceString("'%s' is not a valid integer value"), text));
    };
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i == text.size())
        throw fail();
    // Stops as soon as the magnitude leaves the 32-bit range, so long inputs
    // cannot overflow the 64-bit accumulator.
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            throw fail();
        value = value * 10 + (c - '0');
        if (value > int64_t(std::numeric_limits<int32_t>::max()) + 1)
            throw fail();
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min())
        throw fail();
    return static_cast<int32_t>(value);
}
