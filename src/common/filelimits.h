#pragma once

#include <cstdint>

// The largest file the tool reads, per kind. A file above its bound, or
// anything that is not a regular file (a FIFO, a device, a directory), is
// refused with the kind's "cannot open" message before it meets memory.
// Listed again in README.md under "Limits". The firmware file's bound is
// the container's own (kFirmwareFileLimit, firmwarecontainer.h).
inline constexpr uint64_t kSubstitutionFileLimit = uint64_t{16} << 20;  // substi.txt
inline constexpr uint64_t kCatalogueFileLimit = uint64_t{16} << 20;     // a .mo catalogue
// The program file scanned for embedded catalogues.
inline constexpr uint64_t kProgramFileLimit = uint64_t{512} << 20;
