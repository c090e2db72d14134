#include "mappedfile.h"

#include <utility>

MappedFile::~MappedFile()
{
    Release();
}

MappedFile::MappedFile(MappedFile &&other) noexcept
    : base_(std::exchange(other.base_, nullptr)), length_(std::exchange(other.length_, 0)),
      owned_(std::move(other.owned_)), view_(std::exchange(other.view_, {}))
{
}

MappedFile &MappedFile::operator=(MappedFile &&other) noexcept
{
    if (this != &other) {
        Release();
        base_ = std::exchange(other.base_, nullptr);
        length_ = std::exchange(other.length_, 0);
        owned_ = std::move(other.owned_);  // a vector's move keeps its buffer, so view_ stays valid
        view_ = std::exchange(other.view_, {});
    }
    return *this;
}
