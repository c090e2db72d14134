#pragma once

#include "exception.h"

#include <string>
#include <string_view>

// Library messages of the file handling; their texts pass through the
// message catalogue lookup when raised.
class EFOpenError : public Exception { using Exception::Exception; };    // "Cannot open file %s"
class EFCreateError : public Exception { using Exception::Exception; };  // "Cannot create file %s"
class EWriteError : public Exception { using Exception::Exception; };    // "Stream write error"

// Reads a whole file (relative names resolve against the working
// directory). The file is opened shared for reading: a writer holding an
// exclusive lock on it makes the open fail.
std::string LoadFileBytes(const std::string &name);

// Replaces a file with the given bytes. The bytes go into a temporary file
// beside the target, which is flushed and renamed over the target only when
// complete, so a failed save never destroys the previous file.
void SaveFileBytes(const std::string &name, std::string_view bytes);
