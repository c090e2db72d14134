#pragma once

#include <cstdint>
#include <string>

// Reading files that come from outside. The open never blocks (a FIFO named
// like our file would otherwise hang the window for good) and only a regular
// file of at most `limit` bytes is accepted: a symlink to /dev/zero must not
// be read until memory runs out. Both return -1 / false with errno set:
// EINVAL for something that is not a regular file, EFBIG above the limit.

// The descriptor, in blocking mode again, close-on-exec.
int OpenRegularFile(const std::string &name, uint64_t limit);

// Reads `size` bytes at `offset` (the rest of the file for UINT64_MAX); a
// file that turns out longer than `limit` while being read is refused too.
bool ReadRegularFile(int fd, uint64_t limit, std::string &bytes, uint64_t offset = 0,
                     uint64_t size = UINT64_MAX);

// Closes a descriptor from OpenRegularFile.
void CloseRegularFile(int fd);

// The system's part of reading, one file per system: the file's size, and
// up to `length` bytes at `offset` (0 at the end, -1 with errno on failure).
bool RegularFileSize(int fd, uint64_t &size);
int64_t ReadRegularFileAt(int fd, char *buffer, size_t length, uint64_t offset);
