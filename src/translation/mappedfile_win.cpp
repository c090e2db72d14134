#include "mappedfile.h"

#include "exception.h"

#include <utility>

#include <windows.h>

namespace {

std::string SystemMessage(DWORD error)
{
    char *text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string message = n > 0 && text != nullptr ? std::string(text, n) : "System error " + std::to_string(error);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message;
}

} // namespace

MappedFile::~MappedFile()
{
    Release();
}

MappedFile::MappedFile(MappedFile &&other) noexcept
    : base_(std::exchange(other.base_, nullptr)), length_(std::exchange(other.length_, 0)),
      view_(std::exchange(other.view_, {}))
{
}

MappedFile &MappedFile::operator=(MappedFile &&other) noexcept
{
    if (this != &other) {
        Release();
        base_ = std::exchange(other.base_, nullptr);
        length_ = std::exchange(other.length_, 0);
        view_ = std::exchange(other.view_, {});
    }
    return *this;
}

void MappedFile::Release() noexcept
{
    if (base_ != nullptr)
        UnmapViewOfFile(base_);
    base_ = nullptr;
    length_ = 0;
    view_ = {};
}

MappedFile MappedFile::Map(const std::string &name, uint64_t offset, uint64_t size)
{
    // The program file itself may be mapped (embedded catalogues): it is
    // open for execution, which allows shared readers.
    const HANDLE file = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw Exception("Cannot open file " + name);
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file, &length)) {
        CloseHandle(file);
        throw Exception("Cannot create memory map on file " + name);
    }

    MappedFile mapped;
    const uint64_t fileSize = static_cast<uint64_t>(length.QuadPart);
    if (offset >= fileSize) {
        CloseHandle(file);
        return mapped;
    }
    if (size == kToEnd || size > fileSize - offset)
        size = fileSize - offset;

    // An empty file cannot be mapped; it was handled above.
    const HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);
    if (mapping == nullptr)
        throw Exception("Cannot create memory map on file " + name);

    // Views start at a multiple of the allocation granularity; skip the lead-in.
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    const uint64_t granularity = info.dwAllocationGranularity;
    const uint64_t aligned = offset - offset % granularity;
    const uint64_t leadIn = offset - aligned;
    const size_t viewLength = static_cast<size_t>(leadIn + size);
    void *base = MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(aligned >> 32),
                               static_cast<DWORD>(aligned & 0xFFFFFFFFu), viewLength);
    const DWORD error = GetLastError();
    CloseHandle(mapping); // the view keeps the mapping alive
    if (base == nullptr)
        throw Exception("Cannot map file " + name + " into memory. Reason: " + SystemMessage(error));

    mapped.base_ = base;
    mapped.length_ = viewLength;
    mapped.view_ = std::string_view(static_cast<const char *>(base) + leadIn, static_cast<size_t>(size));
    return mapped;
}
