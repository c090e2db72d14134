#include "serialerror.h"

#include "resourcestring.h"

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>

#include <grp.h>
#include <sys/stat.h>

namespace {

// Fills the "%s" of a pattern that may come from a catalogue in order, never by printf.
std::string Fill(std::string text, std::initializer_list<std::string> values)
{
    size_t from = 0;
    for (const std::string &value : values) {
        const size_t at = text.find("%s", from);
        if (at == std::string::npos)
            break;
        text.replace(at, 2, value);
        from = at + value.size();
    }
    return text;
}

} // namespace

void RaiseOpenError(const std::string &path, int systemErrorCode)
{
    std::string details = path + ": " + std::strerror(systemErrorCode);
    if (path.empty()) {
        details = TranslateResourceString("No port chosen: choose the decoder's port in the port list first");
    } else if (systemErrorCode == EACCES || systemErrorCode == EPERM) {
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
        details = Fill(TranslateResourceString("%s: %s — add your user to the group \"%s\", then log in again"),
                       {path, std::strerror(systemErrorCode), group});
    } else if (systemErrorCode == EBUSY || systemErrorCode == EWOULDBLOCK) {
        // An exclusive open and a held lock both mean another program has the
        // port; the lock's own words ("temporarily unavailable") say less.
        details = Fill(TranslateResourceString("%s: %s — another program holds the port; close it (\"fuser %s\" names it)"),
                       {path, std::strerror(EBUSY), path});
        // One number for a busy port, whichever way it was found.
        systemErrorCode = EBUSY;
    }
    throw ESerialPort(SerialError::OpenFailed, systemErrorCode, std::move(details));
}
