#include "mappedfile.h"

#include "exception.h"
#include "systemerror_win.h"

#include <windows.h>

void MappedFile::Release() noexcept
{
    if (base_ != nullptr)
        UnmapViewOfFile(base_);
    base_ = nullptr;
    length_ = 0;
    view_ = {};
}

MappedFile MappedFile::Map(const std::string &name, uint64_t offset, uint64_t size, uint64_t limit)
{
    // The program file itself may be mapped (embedded catalogues): it is
    // open for execution, which allows shared readers.
    const HANDLE file = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw Exception("Cannot open file " + name);
    LARGE_INTEGER length{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &length)) {
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
    // Only a range is bounded when the rest of the file is not ours (the
    // program file holding embedded catalogues).
    if (size > limit || (offset == 0 && fileSize > limit)) {
        CloseHandle(file);
        throw Exception("Cannot open file " + name);
    }

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
        throw Exception("Cannot map file " + name + " into memory. Reason: " + SystemErrorText(error));

    mapped.base_ = base;
    mapped.length_ = viewLength;
    mapped.view_ = std::string_view(static_cast<const char *>(base) + leadIn, static_cast<size_t>(size));
    return mapped;
}
