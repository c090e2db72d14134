#pragma once

#include <string>
#include <vector>

// Notices serial devices and virtual ports coming and going: on Linux entries
// made, removed or renamed in the watched folders (/dev for adapters, the
// folders of configured virtual ports for their links), on Windows changes of
// the system's serial port list. No toolkit: the caller waits on
// Descriptor() with its own event loop (see WhenReady).
class PortWatch {
public:
    PortWatch() = default;
    ~PortWatch();
    PortWatch(const PortWatch &) = delete;
    PortWatch &operator=(const PortWatch &) = delete;

    // Watches the folders that exist; false when nothing could be watched.
    bool Start(const std::vector<std::string> &folders);
    // Linux: readable when there are notices; Windows: an event signalled
    // then. -1 when not started.
    int Descriptor() const { return fd_; }
    // Reads the pending notices; true when an entry came or went.
    bool TakeChanges();

private:
    int fd_ = -1;
    int key_ = -1; // Windows: the registry key watched
};
