#include "errorbox.h"
#include "errorhandler.h"
#include "exception.h"
#include "karvenzop_config.h"
#include "resourcestring.h"
#include "serialport.h"
#include "tform1.h"
#include "toolkittranslation.h"
#include "windowplatform.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace {
TForm1 *Form1 = nullptr;
QWidget *MainWindow() { return Form1; }

constexpr int kExitUsage = 2;

// The toolkit's standard options (application, window system, style). The
// toolkit consumes them itself; they are known here only so that anything
// else can be refused before a display is needed.
constexpr std::string_view kToolkitOptionsWithValue[] = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon",
    "qwindowtitle", "session", "display", "geometry", "style", "stylesheet", "name", "title", "qmljsdebugger"};
constexpr std::string_view kToolkitFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

template <size_t N>
bool Contains(const std::string_view (&names)[N], std::string_view name)
{
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

enum class Request { Run, Help, Version, Refused };

struct CommandLine {
    Request request = Request::Run;
    std::string complaint; // for Refused
    bool menuStart = false;
};

// GNU style: arguments are taken in order, and the first unknown one ends
// the parse, as getopt does.
CommandLine ParseCommandLine(int argc, char **argv)
{
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help")
            return {Request::Help, {}};
        if (arg == "--version")
            return {Request::Version, {}};
        if (arg == "--menu-start") {
            line.menuStart = true;
            continue;
        }
        if (arg.size() < 2 || arg[0] != '-')
            return {Request::Refused, "extra operand '" + std::string(arg) + "'"};
        std::string_view name = arg.substr(arg.starts_with("--") ? 2 : 1);
        const bool inlineValue = name.find('=') != std::string_view::npos;
        name = name.substr(0, name.find('='));
        if (Contains(kToolkitFlags, name) && !inlineValue)
            continue;
        if (Contains(kToolkitOptionsWithValue, name)) {
            if (!inlineValue && ++i >= argc)
                return {Request::Refused, "option '" + std::string(arg) + "' requires an argument"};
            continue;
        }
        return {Request::Refused, "unrecognized option '" + std::string(arg) + "'"};
    }
    return line;
}

int Refuse(const std::string &complaint)
{
    std::fprintf(stderr,
                 "KarvenZop: %s\n"
                 "Usage: KarvenZop [TOOLKIT-OPTION]...\n"
                 "Try 'KarvenZop --help' for more information.\n",
                 complaint.c_str());
    return kExitUsage;
}

// A failed write to stdout (a closed pipe, a full disk) is a failure.
int Finish(std::FILE *stream) { return std::fflush(stream) == 0 && !std::ferror(stream) ? 0 : 1; }

int PrintHelp()
{
    std::fputs("Usage: KarvenZop [TOOLKIT-OPTION]...\n"
               "Service tool for the KARVEN radio-status decoder: connect to the decoder on a\n"
               "serial port, read and set its values, watch its telegrams, check for updates\n"
               "and flash its firmware.\n"
               "\n"
               "      --help     display this help and exit\n"
               "      --version  output version information and exit\n"
               "\n"
               "The toolkit's standard options are accepted, for example -platform offscreen,\n"
               "-style NAME, -display HOST:SCREEN (X11), -reverse.\n"
               "\n"
               "Started from a terminal, the tool keeps substi.txt, ZOP-Update.exe and\n"
               "firmware.acy in the current directory; started from the desktop menu, in\n"
               "$XDG_DATA_HOME/karvenzop (~/.local/share/karvenzop; on Windows %APPDATA%\\KarvenZop).\n"
               "      --menu-start  work in that folder, as a start from the menu does\n"
               "Environment: KARVENZOP_PORTS, KARVENZOP_UPDATE_SERVER; see KarvenZop(1).\n"
               "\n"
               "Exit status: 0 when the window was closed, 1 when it could not be created,\n"
               "2 for an unknown argument.\n"
               "\n"
               "Report bugs to: <" KZ_BUG_REPORT ">\n",
               stdout);
    return Finish(stdout);
}

int PrintVersion()
{
    std::fputs("KarvenZop " KZ_VERSION "\n"
               "Service tool for the KARVEN radio-status decoder.\n",
               stdout);
    return Finish(stdout);
}

// The desktop entry starts the tool with KARVENZOP_MENU_START set, the
// Windows Start-menu shortcut with --menu-start. A menu start inherits
// whatever working directory the session has (the home folder, or the
// unwritable program folder), so the tool's files then go to a data folder
// of its own; from a terminal they stay in the working directory.
void EnterDataFolderOnMenuStart(bool menuStart)
{
    const char *marker = std::getenv("KARVENZOP_MENU_START");
    if (!menuStart && (!marker || !*marker))
        return;
    const std::filesystem::path folder = MenuStartDataFolder();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!error)
        std::filesystem::current_path(folder, error);
    if (error)
        throw Exception("Cannot use the data folder " + folder.string() + ": " + error.message());
}

} // namespace

int main(int argc, char *argv[])
{
    // Answered before the toolkit starts, so no display is needed.
    const CommandLine line = ParseCommandLine(argc, argv);
    if (line.request != Request::Run)
        UseStartingConsole();
    switch (line.request) {
    case Request::Help:
        return PrintHelp();
    case Request::Version:
        return PrintVersion();
    case Request::Refused:
        return Refuse(line.complaint);
    case Request::Run:
        break;
    }

    // Library messages are looked up in catalogues below the program's
    // folder; set up before anything can raise one.
    InitializeTranslation(ResolvedProgramPath());
    TSerialPort::RegisterMessageDomain();

    // Ours taken out; the toolkit takes its own.
    argc = static_cast<int>(std::remove_if(argv + 1, argv + argc,
                                           [](const char *arg) { return std::string_view(arg) == "--menu-start"; }) -
                            argv);
    QApplication app(argc, argv);
    // The toolkit took its own options out; what is left it did not know
    // either (an option of another window system, say).
    if (argc > 1)
        return Refuse("unrecognized option '" + std::string(argv[1]) + "'");
    InstallToolkitTranslation();
    QGuiApplication::setDesktopFileName(QStringLiteral("de.karven.KarvenZop"));
    ApplyWindowFont();
    InstallDefaultErrorHandler(&MainWindow);

    try {
        EnterDataFolderOnMenuStart(line.menuStart);
    } catch (...) {
        // The tool still works, in the directory it was started in.
        HandleCurrentException();
    }

    std::unique_ptr<TForm1> window;
    try {
        window = std::make_unique<TForm1>();
    } catch (...) {
        // Without the window there is nothing to run: report and end.
        HandleCurrentException();
        return 1;
    }
    Form1 = window.get();
    window->show();
    const int rc = app.exec();
    Form1 = nullptr;
    window.reset();
    FinalizeTranslation();
    return rc;
}
