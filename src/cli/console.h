#pragma once

#include <cstddef>
#include <string>

// The program's terminal, per system.
namespace cli {

// Readies stdin, stdout and stderr before anything is read or written.
void PrepareConsole();

// Whether stdout is a terminal that redraws a status line in place
// ("\r" and the escape sequence that clears the line).
bool OutputIsTerminal();

// One line from stdin without its "\n", at most `limit` bytes; empty at the
// end of input. With `hidden` a terminal does not echo what is typed, and the
// line break the user typed is written to stderr instead.
std::string ReadInputLine(size_t limit, bool hidden);

} // namespace cli
