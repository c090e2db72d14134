#pragma once

#include "exception.h"
#include "keyindex.h"
#include "text8bit.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// "List index out of bounds (%d)"
class EListIndexError : public Exception { using Exception::Exception; };
// "A key with the name of "%s" already exists"
class EDuplicateKeyError : public Exception {
public:
    using Exception::Exception;
    // Details for a duplicate met while loading a file: "substi.txt, line 2".
    void SetPlace(std::string_view file, size_t line);
};
// "Key may not contain equals sign ("=")"
class EInvalidKeyError : public Exception { using Exception::Exception; };

// Raises "List index out of bounds (%d)" for `index`.
[[noreturn]] void ThrowListIndexError(long long index);

// The substitution list: ordered lines "key=value". The key is the text
// before the first "=" (a line without one has an empty key and is all
// value). Non-empty keys are unique regardless of letter case; any number
// of entries may have an empty key. Lines are stored exactly as given, as
// 8-bit text in the list's encoding: the loaded file's (UTF-8 if all of it
// is valid UTF-8, else Windows-1252), UTF-8 for a list not loaded from a
// file. So a file loaded and saved unchanged keeps its bytes.
class SubstitutionList {
public:
    size_t Count() const { return lines_.size(); }
    bool Empty() const { return lines_.empty(); }
    const std::vector<std::string> &Lines() const { return lines_; }
    TextEncoding Encoding() const { return encoding_; }
    const std::string &Line(size_t index) const;

    static std::string_view KeyOf(std::string_view line);
    static std::string_view ValueOf(std::string_view line);
    std::string_view Key(size_t index) const { return KeyOf(Line(index)); }
    std::string_view Value(size_t index) const { return ValueOf(Line(index)); }
    // True for an entry with both key and value empty ("=" or "").
    bool IsEmptyEntry(size_t index) const;

    // Raises the message for a key holding "=".
    static void CheckKeyText(std::string_view key);
    // Raises the duplicate message if `line`'s key is taken already.
    void CheckUnique(std::string_view line) const;
    // Whether a non-empty key would collide with an entry other than `except`
    // (pass Count() or more to compare against every entry).
    bool KeyTaken(std::string_view key, size_t except) const;
    // The entry whose key equals `key` regardless of case; npos for none.
    static constexpr size_t npos = KeyIndex::npos;
    size_t Find(std::string_view key) const { return keys_.Find(lines_, key); }

    void Add(std::string line);
    void Insert(size_t index, std::string line);
    void Delete(size_t index);
    void Clear();
    // Both rewrite the line as key + "=" + value.
    void SetKey(size_t index, std::string_view key);
    void SetValue(size_t index, std::string_view value);

    // Replaces the list with the lines of `text`. A duplicate key stops the
    // load with the lines before it kept; the error's details then name
    // `source` and the line.
    void LoadFromText(std::string_view text, std::string_view source = {});
    // Every line followed by CR LF; an empty list gives no bytes.
    std::string Text() const;

    // The file is read completely before the list is touched, so a file
    // that cannot be read leaves the list as it was.
    void LoadFromFile(const std::string &name);
    // Replaces the file only once the new content is safely written.
    void SaveToFile(const std::string &name);

    // How many lines of `fileText` a save would throw away unseen: lines this
    // list does not hold and did not take from, or give to, its file at the
    // last load or save (a list never loaded, a load cut short, a file
    // changed since). Lines the user removed on purpose do not count.
    size_t LinesUnseenIn(std::string_view fileText) const;
    // The same for the file `name`; a file that cannot be read holds none.
    size_t LinesUnseenInFile(const std::string &name) const;

    // CR LF, a lone CR and a lone LF each end a line; the first NUL ends the
    // text; a break at the very end adds no empty line.
    static std::vector<std::string_view> SplitLines(std::string_view text);

private:
    void RememberFileLines();
    void CheckIndex(size_t index, size_t limit) const;

    std::vector<std::string> lines_;
    TextEncoding encoding_ = TextEncoding::Utf8;
    // Hashes of the lines exchanged with the file at the last load or save,
    // sorted; hashes keep a list of millions of lines from being held twice.
    std::vector<size_t> fileLines_;
    // Non-empty keys, so the duplicate check does not walk the list.
    KeyIndex keys_;
};
