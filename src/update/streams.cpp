#include "streams.h"

#include "fileio.h"
#include "resourcestring.h"

#include <algorithm>
#include <cstring>

Stream::~Stream() = default;

void Stream::WriteBuffer(const void *buffer, int64_t count)
{
    if (count > 0 && Write(buffer, count) != count)
        throw EWriteError(TranslateResourceString("Stream write error"));
}

void MemoryStream::SetSize(int64_t newSize)
{
    if (newSize < 0)
        newSize = 0;
    data_.resize(static_cast<size_t>(newSize));
    position_ = std::min(position_, newSize);
}

int64_t MemoryStream::Read(void *buffer, int64_t count)
{
    if (count <= 0 || position_ >= Size())
        return 0;
    const int64_t n = std::min(count, Size() - position_);
    std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int64_t MemoryStream::Write(const void *buffer, int64_t count)
{
    if (count <= 0)
        return 0;
    const int64_t end = position_ + count;
    if (end > Size()) {
        // Append when writing at the end, so the string's own geometric growth
        // keeps a download of unknown length linear.
        if (position_ == Size()) {
            data_.append(static_cast<const char *>(buffer), static_cast<size_t>(count));
            position_ = end;
            return count;
        }
        data_.resize(static_cast<size_t>(end));
    }
    std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
    position_ = end;
    return count;
}

int64_t MemoryStream::Seek(int64_t offset, SeekOrigin origin)
{
    int64_t target = offset;
    if (origin == SeekOrigin::soCurrent)
        target = position_ + offset;
    else if (origin == SeekOrigin::soEnd)
        target = Size() + offset;
    // A position past the end is allowed; the next write fills the gap.
    position_ = std::max<int64_t>(target, 0);
    return position_;
}

void MemoryStream::Clear()
{
    data_.clear();
    position_ = 0;
}

void MemoryStream::Reserve(int64_t capacity)
{
    // Only address space: the pages are committed as the bytes arrive.
    if (capacity > 0 && static_cast<uint64_t>(capacity) > data_.capacity())
        data_.reserve(static_cast<size_t>(capacity));
}
