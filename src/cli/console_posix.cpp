#include "console.h"

#include "textout.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace cli {

void PrepareConsole()
{
    // A standard descriptor closed at the start would be the number the next
    // open() returns: the serial port would then get our output. /dev/null
    // read-only takes its place, so writes to it fail and are reported.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int held = ::open("/dev/null", O_RDONLY);
        if (held >= 0 && held != fd) {
            ::dup2(held, fd);
            ::close(held);
        }
    }
    // A reader that went away is seen as a failed write, not a signal.
    ::signal(SIGPIPE, SIG_IGN);
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
