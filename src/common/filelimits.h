#pragma once

#include <cstdint>

// The largest file the tool reads, per kind. A file above its bound, or
// anything that is not a regular file (a FIFO, a device, a directory), is
// refused with the kind's "cannot open" message before it meets memory.
// Listed again in README.md under "Limits".
inline constexpr uint64_t kSubstitutionFileLimit = uint64_t{16} << 20;  // substi.txt
inline constexpr uint64_t kCatalogueFileLimit = uint64_t{16} << 20;     // a .mo catalogue
// The firmware container's 64-byte header and its largest image (16 MiB).
inline constexpr uint64_t kFirmwareFileLimit = 64 + (uint64_t{16} << 20);
// The program file scanned for embedded catalogues.
inline constexpr uint64_t kProgramFileLimit = uint64_t{512} << 20;
