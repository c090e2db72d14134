#include "text8bit.h"

#include "cp1252.h"

#include <cstdint>
#include <cstring>
#include <optional>

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

uint64_t Load8(const char *at)
{
    uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The length of the valid UTF-8 sequence at `at` and its character; 0 when
// the bytes there are no valid sequence.
size_t DecodeAt(std::string_view text, size_t at, char32_t &ch)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        ch = lead;
        return 1;
    }
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (text.size() - at < length || !IsValidUtf8(text.substr(at, length)))
        return 0;
    ch = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
    for (size_t k = 1; k < length; ++k)
        ch = (ch << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
    return length;
}

void AppendUtf8(std::string &out, char32_t ch)
{
    if (ch < 0x80) {
        out.push_back(static_cast<char>(ch));
    } else if (ch < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (ch >> 6)));
        out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else if (ch < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (ch >> 12)));
        out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (ch >> 18)));
        out.push_back(static_cast<char>(0x80 | ((ch >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    }
}

char32_t FoldChar(char32_t ch)
{
    if (const int byte = cp1252::FromUnicode(ch); byte >= 0)
        return cp1252::ToUnicode(cp1252::FoldCase(static_cast<unsigned char>(byte)));
    if (ch >= 0x0100 && ch <= 0x017F) {
        // Latin Extended-A pairs upper/lower as even/odd, except where the
        // dotless i, kra and the long s break the run and shift it.
        if (ch == 0x0130 || ch == 0x0131 || ch == 0x0138 || ch == 0x0149 || ch == 0x017F)
            return ch;
        const bool oddIsUpper = (ch >= 0x0139 && ch <= 0x0148) || (ch >= 0x0179 && ch <= 0x017E);
        return (ch % 2 == 1) == oddIsUpper ? ch + 1 : ch;
    }
    if (ch >= 0x0391 && ch <= 0x03AB && ch != 0x03A2)
        return ch + 0x20;  // Greek
    if (ch >= 0x0410 && ch <= 0x042F)
        return ch + 0x20;  // Cyrillic
    if (ch >= 0x0400 && ch <= 0x040F)
        return ch + 0x50;
    return ch;
}

// Calls f(bytes, character) for each character of UTF-8 text; a byte that
// starts no valid sequence comes alone, without a character.
template <class F>
void ForEachCharacter(std::string_view text, F &&f)
{
    for (size_t i = 0; i < text.size();) {
        char32_t ch = 0;
        const size_t length = DecodeAt(text, i, ch);
        if (length == 0) {
            f(text.substr(i, 1), std::nullopt);
            ++i;
        } else {
            f(text.substr(i, length), std::optional<char32_t>(ch));
            i += length;
        }
    }
}

} // namespace

bool IsValidUtf8(std::string_view text)
{
    size_t i = 0;
    const size_t n = text.size();
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    while (i < n) {
        if (n - i >= 8 && (Load8(text.data() + i) & kHighBits) == 0) {
            i += 8;
            continue;
        }
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

TextEncoding EncodingOf(std::string_view bytes)
{
    return IsValidUtf8(bytes) ? TextEncoding::Utf8 : TextEncoding::Windows1252;
}

std::string DecodeText(std::string_view bytes, TextEncoding encoding)
{
    std::string out;
    out.reserve(bytes.size());
    if (encoding == TextEncoding::Windows1252) {
        for (const char c : bytes)
            AppendUtf8(out, cp1252::ToUnicode(static_cast<unsigned char>(c)));
        return out;
    }
    ForEachCharacter(bytes, [&](std::string_view piece, std::optional<char32_t> ch) {
        if (ch)
            out.append(piece);
        else
            AppendUtf8(out, cp1252::ToUnicode(static_cast<unsigned char>(piece[0])));
    });
    return out;
}

std::string EncodeText(std::string_view utf8, TextEncoding encoding)
{
    if (encoding == TextEncoding::Utf8)
        return std::string(utf8);
    std::string out;
    out.reserve(utf8.size());
    ForEachCharacter(utf8, [&](std::string_view, std::optional<char32_t> ch) {
        const int byte = ch ? cp1252::FromUnicode(*ch) : -1;
        out.push_back(byte < 0 ? '?' : static_cast<char>(byte));
    });
    return out;
}

std::string FoldCase(std::string_view bytes, TextEncoding encoding)
{
    if (encoding == TextEncoding::Windows1252)
        return cp1252::FoldCase(bytes);
    std::string out;
    out.reserve(bytes.size());
    ForEachCharacter(bytes, [&](std::string_view piece, std::optional<char32_t> ch) {
        // ASCII, or a stray byte, folds as Windows-1252 would.
        if (piece.size() == 1)
            out.push_back(static_cast<char>(cp1252::FoldCase(static_cast<unsigned char>(piece[0]))));
        else
            AppendUtf8(out, FoldChar(*ch));
    });
    return out;
}

std::string ShortenUtf8(std::string_view utf8, size_t limit)
{
    if (utf8.size() <= limit)
        return std::string(utf8);
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80)
        --cut;
    return std::string(utf8.substr(0, cut)) + "\xE2\x80\xA6";
}
