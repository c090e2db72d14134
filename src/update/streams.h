#pragma once

#include <cstdint>
#include <string>

enum class SeekOrigin { soBeginning, soCurrent, soEnd };

// A byte stream with a position. Write() at a position beyond the end grows
// the stream; Read() returns fewer bytes at the end.
class Stream {
public:
    virtual ~Stream();

    virtual int64_t Size() const = 0;
    virtual void SetSize(int64_t newSize) = 0;
    virtual int64_t Read(void *buffer, int64_t count) = 0;
    virtual int64_t Write(const void *buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;

    virtual int64_t Position() const = 0;
    void SetPosition(int64_t position) { Seek(position, SeekOrigin::soBeginning); }

    // Writes all bytes or raises EWriteError "Stream write error".
    void WriteBuffer(const void *buffer, int64_t count);

    // A hint that the stream will grow to about this size; changes neither
    // size nor position.
    virtual void Reserve(int64_t) {}
};

// The stream's bytes live in memory.
class MemoryStream : public Stream {
public:
    int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
    void SetSize(int64_t newSize) override;
    int64_t Read(void *buffer, int64_t count) override;
    int64_t Write(const void *buffer, int64_t count) override;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Position() const override { return position_; }
    void Reserve(int64_t capacity) override;

    const char *Memory() const { return data_.data(); }
    void Clear();

protected:
    std::string data_;
    int64_t position_ = 0;
};

// A memory stream whose whole content is readable as an 8-bit string.
class StringStream : public MemoryStream {
public:
    StringStream() = default;
    explicit StringStream(std::string initial) { data_ = std::move(initial); }

    const std::string &DataString() const { return data_; }
};
