#pragma once

#include <string>

// The broker login. Never from the command line, which every user of the
// machine can read in the process list.
namespace publish {

struct Credentials {
    std::string username;   // empty: no login
    std::string password;
};

// From `file` when given: lines "username=..." and "password=..." (at most
// 4 KiB, a regular file); else from KARVENZOP_MQTT_USERNAME and
// KARVENZOP_MQTT_PASSWORD. Throws std::runtime_error for an unreadable or
// malformed file.
Credentials LoadCredentials(const std::string &file);

struct TlsFiles {
    std::string caFile;     // empty: the system's trust store
    std::string certFile;   // client certificate, optional, with keyFile
    std::string keyFile;
};

} // namespace publish
