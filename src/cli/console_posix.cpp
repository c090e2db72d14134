#include "console.h"

#include "textout.h"

#include <termios.h>
#include <unistd.h>

namespace cli {

void PrepareConsole()
{
    // The descriptors carry the bytes as they are: nothing to set up.
}

bool OutputIsTerminal()
{
    return ::isatty(STDOUT_FILENO) == 1;
}

std::string ReadInputLine(size_t limit, bool hidden)
{
    termios saved{};
    const bool quiet = hidden && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
        termios noEcho = saved;
        noEcho.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &noEcho);
    }
    std::string line;
    char c;
    while (line.size() < limit && ::read(STDIN_FILENO, &c, 1) == 1 && c != '\n')
        line += c;
    if (quiet) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        WriteErr("\n");
    }
    return line;
}

} // namespace cli
