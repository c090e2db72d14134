#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A read-only memory map of a whole file or of a byte range inside one (an
// embedded catalogue lives inside the program file). Failures raise
// Exception with the messages a technician sees.
class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    MappedFile(MappedFile &&other) noexcept;
    MappedFile &operator=(MappedFile &&other) noexcept;

    // size == npos maps from offset to the end of the file. A range that
    // leaves the file, or an empty one, yields an empty view without mapping.
    static MappedFile Map(const std::string &name, uint64_t offset = 0, uint64_t size = kToEnd);

    std::string_view Bytes() const { return view_; }

    static constexpr uint64_t kToEnd = ~uint64_t{0};

private:
    void Release() noexcept;

    void *base_ = nullptr;
    size_t length_ = 0;
    std::string_view view_;
};
