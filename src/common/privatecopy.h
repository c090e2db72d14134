#pragma once

#include <string>
#include <string_view>

// A copy of checked bytes that a second component reads by name, while no
// one else can change it: the name leads to the copy only for this process
// as long as the object lives. Raises EFCreateError or EWriteError (with the
// system's reason under the message) when the copy cannot be made.
//
// Linux: a sealed memory file, named /proc/self/fd/N (without /proc, a file
// in a fresh 0700 folder). Windows: a file in the user's temporary folder,
// held open so that no one may write, rename or delete it.
class PrivateCopy {
public:
    explicit PrivateCopy(std::string_view bytes);
    ~PrivateCopy();
    PrivateCopy(const PrivateCopy &) = delete;
    PrivateCopy &operator=(const PrivateCopy &) = delete;

    const std::string &Path() const { return path_; }

private:
    std::string path_;
    std::string folder_;   // made for the copy; removed with it
    long long handle_ = -1;
};
