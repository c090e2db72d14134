#pragma once

#include <string>
#include <string_view>

// A file message ("Cannot open file %s") in the user's language with the
// name filled in, never through printf. Bounded: a catalogue may carry a
// translation of any length, and the name comes from outside.
std::string FileMessage(std::string_view pattern, const std::string &name);
