// The Windows console: the bytes go out as on Linux (binary mode, lines end
// in "\n", which a console takes as a new line; files and pipes get the same
// bytes), UTF-8 output shows as such on the console, and a console is read
// as UTF-16 so typed text arrives as UTF-8 whatever its code page.
#include "console.h"

#include "bootloaderintf.h"
#include "textout.h"

#include <cstdlib>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace cli {

namespace {

bool ConsoleMode(HANDLE handle, DWORD &mode)
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

// What the console had before, given back at the end: it outlives us.
UINT savedOutputCodePage = 0;
DWORD savedOutputMode = 0;
bool outputModeChanged = false;

void RestoreConsole()
{
    if (savedOutputCodePage != 0)
        SetConsoleOutputCP(savedOutputCodePage);
    if (outputModeChanged)
        SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), savedOutputMode);
}

} // namespace

void PrepareConsole()
{
    for (int fd : {0, 1, 2})
        _setmode(fd, _O_BINARY);
    DWORD mode = 0;
    if (ConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), mode) || ConsoleMode(GetStdHandle(STD_ERROR_HANDLE), mode)) {
        const UINT codePage = GetConsoleOutputCP();
        if (codePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
            savedOutputCodePage = codePage;
    }
    std::atexit(RestoreConsole);
}

bool OutputIsTerminal()
{
    // The console (not the NUL device, which _isatty also reports), and one
    // that takes escape sequences (Windows 10 on); else plain lines.
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!ConsoleMode(out, mode))
        return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)
        return true;
    if (!SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return false;
    savedOutputMode = mode;
    outputModeChanged = true;
    return true;
}

std::string ReadInputLine(size_t limit, bool hidden)
{
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    std::string line;
    if (!ConsoleMode(in, mode)) {
        char c;
        while (line.size() < limit && _read(0, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    if (hidden)
        SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    std::u16string typed;
    wchar_t c;
    DWORD got = 0;
    // Counts UTF-16 units; the cut below bounds the bytes.
    while (typed.size() < limit && ReadConsoleW(in, &c, 1, &got, nullptr) && got == 1 && c != L'\n')
        typed += static_cast<char16_t>(c);
    if (hidden) {
        SetConsoleMode(in, mode);
        WriteErr("\n");
    }
    line = Utf8FromWide(typed);
    if (line.size() > limit) {
        size_t cut = limit;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
            --cut;
        line.resize(cut);
    }
    return line;
}

} // namespace cli
