#include "mappedfile.h"

#include <utility>

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
