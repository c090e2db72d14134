#pragma once

#include <string>

// The system's message for a Windows error code, without the trailing line
// break; "error N" when the system has none.
std::string SystemErrorText(unsigned long code);
