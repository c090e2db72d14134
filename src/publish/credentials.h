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
// malformed file, std::invalid_argument for one others may read or change.
Credentials LoadCredentials(const std::string &file);

// Per system: why the open credentials file is not private enough (others
// may read it, or it belongs to someone other than the user or root), or empty.
std::string CredentialFileProblem(int fd);

struct TlsFiles {
    std::string caFile;     // empty: the system's trust store
    std::string certFile;   // client certificate, optional, with keyFile
    std::string keyFile;
};

} // namespace publish
