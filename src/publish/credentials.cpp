#include "credentials.h"

#include "regularfile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace publish {

namespace {

constexpr uint64_t CredentialFileLimit = 4096;

} // namespace

Credentials LoadCredentials(const std::string &file)
{
    Credentials credentials;
    if (file.empty()) {
        if (const char *user = std::getenv("KARVENZOP_MQTT_USERNAME"))
            credentials.username = user;
        if (const char *password = std::getenv("KARVENZOP_MQTT_PASSWORD"))
            credentials.password = password;
        if (credentials.username.empty() && !credentials.password.empty())
            throw std::runtime_error("KARVENZOP_MQTT_PASSWORD is set without KARVENZOP_MQTT_USERNAME");
        return credentials;
    }
    std::string text;
    const int fd = OpenRegularFile(file, CredentialFileLimit);
    if (fd < 0 || !ReadRegularFile(fd, CredentialFileLimit, text)) {
        const int error = errno;
        if (fd >= 0)
            CloseRegularFile(fd);
        throw std::runtime_error("cannot read the credentials file " + file + ": " +
                                 (error == EFBIG ? std::string("larger than 4 KiB") : std::strerror(error)));
    }
    const std::string problem = CredentialFileProblem(fd);
    CloseRegularFile(fd);
    if (!problem.empty())
        throw std::invalid_argument("the credentials file " + file + " is refused: " + problem);
    size_t at = 0;
    int lineNumber = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        if (equals != std::string::npos && key == "username")
            credentials.username = line.substr(equals + 1);
        else if (equals != std::string::npos && key == "password")
            credentials.password = line.substr(equals + 1);
        else
            throw std::runtime_error("credentials file " + file + ", line " + std::to_string(lineNumber) +
                                     ": expected username=... or password=...");
    }
    if (credentials.username.empty())
        throw std::runtime_error("credentials file " + file + " names no username");
    return credentials;
}

} // namespace publish
