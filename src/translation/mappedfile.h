#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "filelimits.h"

// The read-only bytes of a whole file or of a byte range inside one (an
// embedded catalogue lives inside the program file). Failures raise
// Exception with the messages a technician sees.
//
// The POSIX build reads the bytes into memory instead of mapping them: a
// catalogue shortened on disk while mapped turns the next lookup into
// SIGBUS, and catalogues are small. A Windows build may map the file
// (CreateFileMapping), since there a mapped file cannot be truncated.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    MappedFile(MappedFile &&other) noexcept;
    MappedFile &operator=(MappedFile &&other) noexcept;

    // size == kToEnd maps from offset to the end of the file. A range that
    // leaves the file, or an empty one, yields an empty view without mapping.
    // Anything but a regular file, or a range above `limit` bytes, fails
    // with "Cannot open file".
    static MappedFile Map(const std::string &name, uint64_t offset = 0, uint64_t size = kToEnd,
                          uint64_t limit = kCatalogueFileLimit);

    std::string_view Bytes() const { return view_; }

    static constexpr uint64_t kToEnd = ~uint64_t{0};

private:
    void Release() noexcept;

    void *base_ = nullptr;      // a mapping, where the platform maps
    size_t length_ = 0;
    std::vector<char> owned_;   // the bytes read, where it reads
    std::string_view view_;
};
