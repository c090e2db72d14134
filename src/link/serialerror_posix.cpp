#include "serialerror.h"

#include "resourcestring.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <grp.h>
#include <sys/stat.h>

void RaiseOpenError(const std::string &path, int systemErrorCode)
{
    std::string details = path + ": " + std::strerror(systemErrorCode);
    if (systemErrorCode == EACCES || systemErrorCode == EPERM) {
        // Serial devices belong to a group ("dialout" on Debian) whose
        // members may use them; membership counts from the next login.
        std::string group = "dialout";
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            struct group entry {};
            struct group *found = nullptr;
            char buffer[1024];
            if (::getgrgid_r(st.st_gid, &entry, buffer, sizeof buffer, &found) == 0 && found)
                group = found->gr_name;
        }
        // The pattern may come from a catalogue: its "%s" are filled in order, never by printf.
        std::string text = TranslateResourceString("%s: %s — add your user to the group \"%s\", then log in again");
        size_t from = 0;
        for (const std::string &value : {path, std::string(std::strerror(systemErrorCode)), group}) {
            const size_t at = text.find("%s", from);
            if (at == std::string::npos)
                break;
            text.replace(at, 2, value);
            from = at + value.size();
        }
        details = text;
    }
    throw ESerialPort(1, systemErrorCode, std::move(details));
}
