#include "credentials.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace publish {

std::string CredentialFileProblem(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return std::strerror(errno);
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return "owned by user " + std::to_string(st.st_uid) + ", not by this user or root";
    // Read by the service's group (mode 0640) is the intended set-up.
    if (st.st_mode & (S_IROTH | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string(st.st_mode & S_IROTH ? "readable" : "writable") + " by others (mode " + mode +
               "); chmod o-rwx it";
    }
    return {};
}

} // namespace publish
