#include "textout.h"

#include "exception.h"
#include "text8bit.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace cli {

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// Seconds east of UTC, from the two broken-down forms of one instant: the
// C library's "%z" is a zone name on Windows.
long UtcOffset(const std::tm &local, const std::tm &utc)
{
    int days = local.tm_yday - utc.tm_yday;
    if (local.tm_year != utc.tm_year)
        days = local.tm_year > utc.tm_year ? 1 : -1;
    return ((days * 24L + local.tm_hour - utc.tm_hour) * 60 + local.tm_min - utc.tm_min) * 60 + local.tm_sec -
           utc.tm_sec;
}

// The code point of a three-byte sequence at `at` that reorders or breaks
// what is shown around it (bidirectional embeddings, overrides and
// isolates; the line and paragraph separators); 0 for anything else.
unsigned LayoutControlAt(const std::string &utf8, size_t at)
{
    if (at + 2 >= utf8.size() || static_cast<unsigned char>(utf8[at]) != 0xE2)
        return 0;
    const auto second = static_cast<unsigned char>(utf8[at + 1]);
    const auto third = static_cast<unsigned char>(utf8[at + 2]);
    const unsigned code = 0x2000u | ((second & 0x3Fu) << 6) | (third & 0x3Fu);
    if ((second != 0x80 && second != 0x81) || (third & 0xC0) != 0x80)
        return 0;
    return (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) ? code : 0;
}

} // namespace

std::string Printable(std::string_view text)
{
    const std::string utf8 = TextToUtf8(text);
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        if (const unsigned code = LayoutControlAt(utf8, i)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
            out += escaped;
            i += 2;
            continue;
        }
        const auto c = static_cast<unsigned char>(utf8[i]);
        // C1 controls arrive as C2 80..C2 9F once decoded.
        const bool c1 = c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0;
        if (IsControl(c) || c1) {
            const unsigned value = c1 ? static_cast<unsigned char>(utf8[++i]) : c;
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", value);
            out += escaped;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string JsonString(std::string_view text)
{
    const std::string utf8 = TextToUtf8(text);
    std::string out = "\"";
    out.reserve(utf8.size() + 2);
    for (size_t i = 0; i < utf8.size(); ++i) {
        const char ch = utf8[i];
        const auto c = static_cast<unsigned char>(ch);
        // C1 controls (U+0080..U+009F) and the layout controls are escaped
        // like C0: a consumer printing the value must not act on them.
        const bool c1 = c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0;
        const unsigned layout = LayoutControlAt(utf8, i);
        if (c1 || layout) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x",
                          c1 ? static_cast<unsigned char>(utf8[i + 1]) : layout);
            out += escaped;
            i += c1 ? 1 : 2;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (IsControl(c)) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out.push_back(ch);
            }
        }
    }
    return out + "\"";
}

std::string IsoTime(std::chrono::system_clock::time_point when)
{
    const auto since = when.time_since_epoch();
    const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
    std::tm local{}, utc{};
    localtime_r(&seconds, &local);
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = UtcOffset(local, utc);
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char tail[24];
    std::snprintf(tail, sizeof tail, ".%03d%c%02ld:%02ld", static_cast<int>(millis), offset < 0 ? '-' : '+',
                  minutes / 60, minutes % 60);
    return std::string(text, n) + tail;
}

namespace {
bool jsonErrors = false;

void PrintJsonError(const std::string &message, const std::string &detail)
{
    std::string text = WithFinalFullStop(message);
    // The CR LF inside the socket errors is a line break like any other.
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;)
        text.erase(at, 1);
    WriteErr("{\"error\":" + JsonString(text) + (detail.empty() ? std::string() : ",\"detail\":" + JsonString(detail))
             + "}\n");
}
} // namespace

void SetJsonErrors(bool on) { jsonErrors = on; }
bool JsonErrors() { return jsonErrors; }

void PrintError(const std::string &message)
{
    if (jsonErrors) {
        PrintJsonError(message, {});
        return;
    }
    PrintNotice(message);
}

void PrintNotice(const std::string &message)
{
    // Line breaks of our own messages (the socket errors' CR LF) stay breaks.
    std::string text = WithFinalFullStop(message), shown;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const size_t stop = end > start && text[end - 1] == '\r' ? end - 1 : end;
        shown += Printable(std::string_view(text).substr(start, stop - start)) + "\n";
    }
    shown += Printable(std::string_view(text).substr(start));
    WriteErr("karvenzop-cli: " + shown + "\n");
}

// Descriptors 1 and 2 are stdout and stderr on both systems.
namespace {
bool outputFailed = false;
}

bool WriteOut(std::string_view bytes)
{
    if (WriteAll(1, bytes))
        return true;
    outputFailed = true;
    return false;
}

bool OutputFailed() { return outputFailed; }

bool WriteErr(std::string_view bytes)
{
    return WriteAll(2, bytes);
}

void PrintFailure(const std::exception &failure)
{
    if (jsonErrors) {
        const auto *known = dynamic_cast<const Exception *>(&failure);
        PrintJsonError(failure.what(), known ? known->Informative() : std::string());
        return;
    }
    PrintError(failure.what());
    const auto *known = dynamic_cast<const Exception *>(&failure);
    if (!known || known->Informative().empty())
        return;
    // One line each: the system's reason, the server tried.
    const std::string &detail = known->Informative();
    std::string shown;
    for (size_t start = 0, end; start <= detail.size(); start = end + 1) {
        end = std::min(detail.find('\n', start), detail.size());
        shown += Printable(std::string_view(detail).substr(start, end - start)) + "\n";
    }
    WriteErr(shown);
}

} // namespace cli
