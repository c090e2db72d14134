#pragma once

#include <string>
#include <vector>

// Notices serial devices and virtual ports coming and going: entries made,
// removed or renamed in the watched folders (/dev for adapters, the folders
// of configured virtual ports for their links). No toolkit: the caller waits
// on Descriptor() with its own event loop.
class PortWatch {
public:
    PortWatch() = default;
    ~PortWatch();
    PortWatch(const PortWatch &) = delete;
    PortWatch &operator=(const PortWatch &) = delete;

    // Watches the folders that exist; false when nothing could be watched.
    bool Start(const std::vector<std::string> &folders);
    // Readable when there are notices; -1 when not started.
    int Descriptor() const { return fd_; }
    // Reads the pending notices; true when an entry came or went.
    bool TakeChanges();

private:
    int fd_ = -1;
};
