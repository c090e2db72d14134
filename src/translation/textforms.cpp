#include "textforms.h"

#include "text8bit.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;
constexpr uint64_t kLowBits = 0x0101010101010101ull;
// Eight bytes at a time: no high bit means ASCII, and a zero byte in
// word ^ (LF x 8) marks an LF.

uint64_t Load8(const char *at)
{
    uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

} // namespace

std::string RemoveCarriageReturns(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r')
            out.push_back(c);
    return out;
}

std::string RestoreCrLf(std::string_view text)
{
    size_t bare = 0;
    for (size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1))
        if (at == 0 || text[at - 1] != '\r')
            ++bare;
    if (bare == 0)
        return std::string(text);
    std::string out;
    out.reserve(text.size() + bare);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out.push_back('\r');
        out.push_back(text[i]);
    }
    return out;
}

std::string DecodeTranslation(std::string_view text)
{
    // One pass checks the bytes and counts the LFs lacking their CR; the
    // result is then built once.
    const size_t n = text.size();
    size_t bare = 0;
    size_t i = 0;
    while (i < n) {
        if (n - i >= 8) {
            const uint64_t word = Load8(text.data() + i);
            const uint64_t lf = word ^ (kLowBits * '\n');
            if (((word | ((lf - kLowBits) & ~lf)) & kHighBits) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead == '\n') {
            if (i == 0 || text[i - 1] != '\r')
                ++bare;
            ++i;
        } else if (lead < 0x80) {
            ++i;
        } else {
            // Settle the whole sequence with the strict check.
            const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
            if (n - i < length || !IsValidUtf8(text.substr(i, length)))
                return {};
            i += length;
        }
    }
    if (bare == 0)
        return std::string(text);
    std::string out;
    out.reserve(n + bare);
    for (size_t k = 0; k < n; ++k) {
        if (text[k] == '\n' && (k == 0 || text[k - 1] != '\r'))
            out.push_back('\r');
        out.push_back(text[k]);
    }
    return out;
}
