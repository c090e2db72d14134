#pragma once

// Helpers shared by the catalogue tests and the benchmark: temporary
// folders, msgfmt-made catalogues and hand-built ones for shapes msgfmt
// will not produce (no header entry, N = 0, hostile tables).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>

namespace testsupport {

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kz-translation-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &Path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline void WriteBytes(const std::string &name, const std::string &bytes)
{
    std::filesystem::create_directories(std::filesystem::path(name).parent_path());
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + name);
}

inline std::string ReadBytes(const std::string &name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Runs a shell command and returns its standard output and exit status.
inline std::pair<std::string, int> RunCommand(const std::string &command)
{
    FILE *pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("popen failed: " + command);
    std::string output;
    char piece[4096];
    size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, pipe)) > 0)
        output.append(piece, got);
    const int status = ::pclose(pipe);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

inline std::string Quoted(const std::string &text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

inline std::string PoString(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
        }
    }
    return out + "\"";
}

// A catalogue made by msgfmt from the given pairs (msgfmt adds the ""
// header entry). Little-endian, without the hash table unless asked.
inline std::string Msgfmt(const std::vector<std::pair<std::string, std::string>> &pairs,
                          const std::string &charset = "UTF-8", const std::string &extraOptions = "--no-hash")
{
    TempDir dir;
    std::string po = "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=" + charset + "\\n\"\n";
    for (const auto &[id, text] : pairs)
        po += "\nmsgid " + PoString(id) + "\nmsgstr " + PoString(text) + "\n";
    WriteBytes(dir / "in.po", po);
    const auto [output, status] = RunCommand("msgfmt " + extraOptions + " -o " + Quoted(dir / "out.mo") + " " +
                                             Quoted(dir / "in.po") + " 2>&1");
    if (status != 0)
        throw std::runtime_error("msgfmt failed: " + output);
    return ReadBytes(dir / "out.mo");
}

inline void PutWord(std::string &out, uint32_t value, bool bigEndian)
{
    for (int i = 0; i < 4; ++i) {
        const int shift = bigEndian ? 24 - 8 * i : 8 * i;
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

inline uint32_t GetWord(const std::string &bytes, size_t at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
    return value;
}

inline void SetWord(std::string &bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Hand-built catalogue: exactly the given pairs (sorted by the map), no
// header entry, strings NUL-terminated as msgfmt writes them.
inline std::string BuildMo(const std::map<std::string, std::string> &pairs, bool bigEndian = false)
{
    const uint32_t count = static_cast<uint32_t>(pairs.size());
    const uint32_t originals = 28;
    const uint32_t translations = originals + 8 * count;
    std::string strings;
    std::vector<std::pair<uint32_t, uint32_t>> originalEntries, translationEntries;
    const uint32_t stringsStart = translations + 8 * count;
    for (const auto &[id, text] : pairs) {
        originalEntries.emplace_back(static_cast<uint32_t>(id.size()), stringsStart + static_cast<uint32_t>(strings.size()));
        strings += id;
        strings.push_back('\0');
    }
    for (const auto &[id, text] : pairs) {
        translationEntries.emplace_back(static_cast<uint32_t>(text.size()), stringsStart + static_cast<uint32_t>(strings.size()));
        strings += text;
        strings.push_back('\0');
    }
    std::string out;
    for (uint32_t word : {0x950412deu, 0u, count, originals, translations, 0u, 0u})
        PutWord(out, word, bigEndian);
    for (const auto &table : {originalEntries, translationEntries})
        for (const auto &[length, offset] : table) {
            PutWord(out, length, bigEndian);
            PutWord(out, offset, bigEndian);
        }
    return out + strings;
}

// Turns a little-endian catalogue without hash table into its big-endian
// twin: the header words and both tables are swapped, the strings stay.
inline std::string SwapToBigEndian(std::string bytes)
{
    auto swapAt = [&](size_t at) {
        std::swap(bytes[at], bytes[at + 3]);
        std::swap(bytes[at + 1], bytes[at + 2]);
    };
    const uint32_t count = GetWord(bytes, 8);
    const uint32_t originals = GetWord(bytes, 12);
    const uint32_t translations = GetWord(bytes, 16);
    for (size_t at = 0; at < 28; at += 4)
        swapAt(at);
    for (uint32_t table : {originals, translations})
        for (size_t at = table; at < table + 8 * size_t{count}; at += 4)
            swapAt(at);
    return bytes;
}

} // namespace testsupport
