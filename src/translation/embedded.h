#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// Catalogues may travel inside the program file. The program carries an
// anchor: a 36-byte marker followed by an 8-byte little-endian file offset,
// zero as built. A non-zero offset starts a chain of entries, each:
// next-entry offset (0 ends the chain), data offset, data size (all 8-byte
// little-endian), then the file's name relative to the program directory,
// running up to the next entry (the end of the file for the last one).

struct EmbeddedFile {
    uint64_t offset = 0;
    uint64_t size = 0;
};

// Relative name (forward slashes) → where its bytes lie in the program file.
using EmbeddedIndex = std::map<std::string, EmbeddedFile>;

// The marker bytes, read from the anchor itself at run time so that the
// marker appears in the built program exactly once.
std::string EmbeddedMarker();
constexpr size_t kEmbeddedMarkerSize = 36;
constexpr size_t kEmbeddedAnchorSize = kEmbeddedMarkerSize + 8;

// Position of the only marker in bytes; npos when it is missing or occurs
// more than once (an ambiguous file is not trusted).
size_t FindEmbeddedAnchor(std::string_view bytes);

// Reads the chain from a whole program image. Entries that point outside
// the image end the chain; a chain that loops is cut at the repeat.
EmbeddedIndex ParseEmbeddedIndex(std::string_view programBytes);

// Maps the program file and reads its chain; an unreadable program gives
// an empty index.
EmbeddedIndex ScanProgramFile(const std::string &programPath);
