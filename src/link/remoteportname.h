#pragma once

#include <string>
#include <vector>

// A serial port on a device server, named rfc2217://HOST:PORT, or
// rfc2217+tls://HOST:PORT for the same protocol inside TLS.
struct RemotePortName {
    std::string host;
    int port = 0;
    bool tls = false;
};

// Whether the name has one of the remote schemes (it may still be malformed).
bool IsRemotePortName(const std::string &name) noexcept;
// False when the name is not a remote port or its host or port is missing
// or out of range.
bool ParseRemotePortName(const std::string &name, RemotePortName &out);

// The entries of a colon-separated port list (KARVENZOP_PORTS); a remote
// name keeps the colon before its port. Empty entries are skipped.
std::vector<std::string> SplitPortList(const std::string &list);
