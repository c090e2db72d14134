#include "textforms.h"

std::string RemoveCarriageReturns(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r')
            out.push_back(c);
    return out;
}

std::string RestoreCrLf(std::string text)
{
    size_t bare = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            ++bare;
    if (bare == 0)
        return text;
    std::string out;
    out.reserve(text.size() + bare);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out.push_back('\r');
        out.push_back(text[i]);
    }
    return out;
}

bool IsValidUtf8(std::string_view text)
{
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
        const unsigned char lead = byte(i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            if (lead == 0xE0)
                low = 0xA0; // overlong
            else if (lead == 0xED)
                high = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            if (lead == 0xF0)
                low = 0x90; // overlong
            else if (lead == 0xF4)
                high = 0x8F; // above U+10FFFF
        } else {
            return false;
        }
        if (n - i <= extra)
            return false;
        if (byte(i + 1) < low || byte(i + 1) > high)
            return false;
        for (size_t k = 2; k <= extra; ++k)
            if ((byte(i + k) & 0xC0) != 0x80)
                return false;
        i += extra + 1;
    }
    return true;
}

std::string DecodeTranslation(std::string text)
{
    // Most messages are plain ASCII without line breaks: one pass settles them.
    bool plain = true;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80 || c == '\n') {
            plain = false;
            break;
        }
    if (plain)
        return text;
    if (!IsValidUtf8(text))
        return {};
    return RestoreCrLf(std::move(text));
}
