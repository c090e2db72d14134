#include "substitutionlist.h"

#include "fileio.h"
#include "resourcestring.h"
#include "text8bit.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

std::string FormatKeyMessage(std::string_view pattern, std::string_view key)
{
    std::string text = TranslateResourceString(pattern);
    const auto at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, key);
    return text;
}

// The message is UTF-8 like the catalogue's text around the key, and quotes
// at most a bounded part of a key that may be megabytes long.
[[noreturn]] void ThrowDuplicate(std::string_view key, TextEncoding encoding)
{
    throw EDuplicateKeyError(ShortenUtf8(
        FormatKeyMessage("A key with the name of \"%s\" already exists", ShortenUtf8(DecodeText(key, encoding), kQuotedTextLimit / 4))));
}

template <class F>
void ForEachLine(std::string_view text, F &&f)
{
    if (const void *nul = std::memchr(text.data(), '\0', text.size()))
        text = text.substr(0, static_cast<const char *>(nul) - text.data());
    const char *p = text.data();
    const char *const end = p + text.size();
    const char *start = p;
    while (p != end) {
        const char c = *p;
        if (c != '\r' && c != '\n') {
            ++p;
            continue;
        }
        f(std::string_view(start, static_cast<size_t>(p - start)));
        ++p;
        if (c == '\r' && p != end && *p == '\n')
            ++p;
        start = p;
    }
    if (start != end)
        f(std::string_view(start, static_cast<size_t>(end - start)));
}

} // namespace

void EDuplicateKeyError::SetPlace(std::string_view file, size_t line)
{
    std::string text = TranslateResourceString("%s, line %d");
    const auto number = text.find("%d");
    if (number != std::string::npos)
        text.replace(number, 2, std::to_string(line));
    const auto name = text.find("%s");
    if (name != std::string::npos)
        text.replace(name, 2, ShortenUtf8(std::string(file), kQuotedTextLimit / 4));
    SetDetails(std::move(text));
}

void ThrowListIndexError(long long index)
{
    std::string text = TranslateResourceString("List index out of bounds (%d)");
    const auto at = text.find("%d");
    if (at != std::string::npos)
        text.replace(at, 2, std::to_string(index));
    throw EListIndexError(text);
}

void SubstitutionList::CheckKeyText(std::string_view key)
{
    if (key.find('=') != std::string_view::npos)
        throw EInvalidKeyError(TranslateResourceString("Key may not contain equals sign (\"=\")"));
}

const std::string &SubstitutionList::Line(size_t index) const
{
    CheckIndex(index, lines_.size());
    return lines_[index];
}

std::string_view SubstitutionList::KeyOf(std::string_view line)
{
    const auto eq = line.find('=');
    return eq == std::string_view::npos ? std::string_view() : line.substr(0, eq);
}

std::string_view SubstitutionList::ValueOf(std::string_view line)
{
    const auto eq = line.find('=');
    return eq == std::string_view::npos ? line : line.substr(eq + 1);
}

bool SubstitutionList::IsEmptyEntry(size_t index) const
{
    const std::string &line = Line(index);
    return line.empty() || line == "=";
}

bool SubstitutionList::KeyTaken(std::string_view key, size_t except) const
{
    const size_t found = keys_.Find(lines_, key);
    return found != KeyIndex::npos && found != except;
}

void SubstitutionList::CheckIndex(size_t index, size_t limit) const
{
    if (index >= limit)
        ThrowListIndexError(static_cast<long long>(index));
}

void SubstitutionList::CheckUnique(std::string_view line) const
{
    const std::string_view key = KeyOf(line);
    if (KeyTaken(key, lines_.size()))
        ThrowDuplicate(key, encoding_);
}

void SubstitutionList::Add(std::string line)
{
    CheckUnique(line);
    lines_.push_back(std::move(line));
    keys_.Add(lines_, lines_.size() - 1);
}

void SubstitutionList::Insert(size_t index, std::string line)
{
    CheckIndex(index, lines_.size() + 1);
    CheckUnique(line);
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(index), std::move(line));
    keys_.ShiftFrom(index, +1);
    keys_.Add(lines_, index);
}

void SubstitutionList::Delete(size_t index)
{
    CheckIndex(index, lines_.size());
    keys_.Remove(lines_, index);
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(index));
    keys_.ShiftFrom(index, -1);
}

void SubstitutionList::Clear()
{
    lines_.clear();
    keys_.Clear();
}

void SubstitutionList::SetKey(size_t index, std::string_view key)
{
    CheckIndex(index, lines_.size());
    CheckKeyText(key);
    if (KeyTaken(key, index))
        ThrowDuplicate(key, encoding_);
    std::string &line = lines_[index];
    std::string updated;
    updated.reserve(key.size() + 1 + line.size());
    updated.append(key).append(1, '=').append(ValueOf(line));
    keys_.Remove(lines_, index);
    line = std::move(updated);
    keys_.Add(lines_, index);
}

void SubstitutionList::SetValue(size_t index, std::string_view value)
{
    CheckIndex(index, lines_.size());
    // The key stays as it is, so the index needs no update.
    std::string &line = lines_[index];
    std::string updated(KeyOf(line));
    updated.append(1, '=').append(value);
    line = std::move(updated);
}

void SubstitutionList::LoadFromText(std::string_view text, std::string_view source)
{
    Clear();
    // The part after the first NUL is ignored, so it has no say either.
    if (const void *nul = std::memchr(text.data(), '\0', text.size()))
        text = text.substr(0, static_cast<size_t>(static_cast<const char *>(nul) - text.data()));
    encoding_ = EncodingOf(text);
    keys_.SetEncoding(encoding_);
    // Growing the index as lines arrive costs more than the lines
    // themselves; the LF count is a close guess for the line count.
    size_t breaks = 0;
    for (const char c : text)
        breaks += c == '\n';
    lines_.reserve(breaks + 1);
    keys_.Reserve(breaks + 1);
    // What did load is what the list saw of the file, also when a duplicate stops it.
    struct Remember {
        SubstitutionList &list;
        ~Remember() { list.RememberFileLines(); }
    } remember{*this};
    try {
        ForEachLine(text, [this](std::string_view line) { Add(std::string(line)); });
    } catch (EDuplicateKeyError &e) {
        if (!source.empty())
            e.SetPlace(source, lines_.size() + 1);
        throw;
    }
}

void SubstitutionList::RememberFileLines()
{
    fileLines_.clear();
    fileLines_.reserve(lines_.size());
    for (const auto &line : lines_)
        fileLines_.push_back(std::hash<std::string>{}(line));
    std::sort(fileLines_.begin(), fileLines_.end());
}

size_t SubstitutionList::LinesUnseenIn(std::string_view fileText) const
{
    std::vector<size_t> held;
    held.reserve(lines_.size());
    for (const auto &line : lines_)
        held.push_back(std::hash<std::string>{}(line));
    std::sort(held.begin(), held.end());
    size_t unseen = 0;
    ForEachLine(fileText, [&](std::string_view line) {
        const size_t hash = std::hash<std::string_view>{}(line);
        if (!std::binary_search(held.begin(), held.end(), hash) &&
            !std::binary_search(fileLines_.begin(), fileLines_.end(), hash))
            ++unseen;
    });
    return unseen;
}

size_t SubstitutionList::LinesUnseenInFile(const std::string &name) const
{
    std::string bytes;
    try {
        bytes = LoadFileBytes(name);
    } catch (const Exception &) {
        // Missing or unreadable: nothing in it could be lost that the save
        // itself would not refuse.
        return 0;
    }
    return LinesUnseenIn(bytes);
}

std::string SubstitutionList::Text() const
{
    size_t total = 0;
    for (const auto &line : lines_)
        total += line.size() + 2;
    std::string text;
    text.reserve(total);
    for (const auto &line : lines_)
        text.append(line).append("\r\n");
    return text;
}

void SubstitutionList::LoadFromFile(const std::string &name)
{
    const std::string bytes = LoadFileBytes(name);
    LoadFromText(bytes, name);
}

void SubstitutionList::SaveToFile(const std::string &name)
{
    SaveFileBytes(name, Text());
    RememberFileLines();
}

std::vector<std::string_view> SubstitutionList::SplitLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    ForEachLine(text, [&lines](std::string_view line) { lines.push_back(line); });
    return lines;
}
