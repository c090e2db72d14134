#pragma once

#include "exception.h"
#include "filelimits.h"

#include <string>
#include <string_view>

// Library messages of the file handling; their texts pass through the
// message catalogue lookup when raised.
class EFOpenError : public Exception { using Exception::Exception; };    // "Cannot open file %s"
class EFCreateError : public Exception { using Exception::Exception; };  // "Cannot create file %s"
class EWriteError : public Exception { using Exception::Exception; };    // "Stream write error"

// Reads a whole file (relative names resolve against the working
// directory). The file is opened shared for reading: a writer holding an
// exclusive lock on it makes the open fail. Anything but a regular file of
// at most `limit` bytes fails to open.
std::string LoadFileBytes(const std::string &name, uint64_t limit = kSubstitutionFileLimit);

// Replaces a file with the given bytes. The bytes go into an unnamed file
// beside the target, which is flushed and renamed over the target only when
// complete, so a failed or killed save never destroys the previous file nor
// leaves a partial one behind. A symlink is followed and the file it names
// replaced; mode and owner are kept. A file the user may not write, or one
// that is not a regular file, is refused. Where only the file is writable
// (its folder is not), or it has further hard links, it is rewritten in
// place.
void SaveFileBytes(const std::string &name, std::string_view bytes);

// Writes all bytes to a descriptor, going on after short writes and signals;
// false when a write fails (errno says why). A line handed over whole stays
// whole for a reader on a pipe.
bool WriteAll(int fd, std::string_view bytes);
