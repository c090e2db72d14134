// karvenzop-cli: the decoder commands, the monitor, the update check and the
// firmware update without the window. See --help and karvenzop-cli(1).

#include "board.h"
#include "console.h"
#include "decodercommands.h"
#include "eventwait.h"
#include "exitcodes.h"
#include "flashcommand.h"
#include "karvenzop_config.h"
#include "monitor.h"
#include "portdescription.h"
#include "resourcestring.h"
#include "serialport.h"
#include "textout.h"
#include "watch.h"

#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace cli;

struct Command {
    const char *name;
    std::set<std::string> options;   // the options it takes (--help always)
    const char *help;
};

const std::vector<Command> &Commands()
{
    static const std::vector<Command> commands = {
        {"ports", {"--json"},
         "usage: karvenzop-cli ports [--json]\n"
         "Lists the serial ports with what stands behind each (USB adapter, driver).\n"
         "Ports named in KARVENZOP_PORTS (colon-separated) are listed too.\n"},
        {"info", {"--port", "--json"},
         "usage: karvenzop-cli info [--port P] [--json]\n"
         "Reads the decoder's serial number, firmware version and hardware revision\n"
         "(the window's \"Alle Werte aus Dekoder lesen\").\n"},
        {"clock", {"--port"},
         "usage: karvenzop-cli clock [--port P]\n"
         "Sets the decoder's clock to the local time now.\n"},
        {"reset", {"--port"},
         "usage: karvenzop-cli reset [--port P]\n"
         "Sends the decoder its reset command.\n"},
        {"tones", {"--port", "--json"},
         "usage: karvenzop-cli tones [--port P] [--json]\n"
         "Reads the decoder's active tone-call table (digits 1-9, 0, R in Hz).\n"},
        {"monitor", {"--port", "--json", "--count", "--duration", "--publish", "--station", "--substitutions",
                     "--credentials", "--ca-file", "--cert", "--key", "--spool", "--spool-max-messages",
                     "--spool-max-bytes"},
         "usage: karvenzop-cli monitor [--port P] [--json] [--count N] [--duration S]\n"
         "                            [--publish mqtt[s]://HOST[:PORT]/PREFIX [--station NAME]\n"
         "                             [--substitutions FILE] [--credentials FILE] [--ca-file FILE]\n"
         "                             [--cert FILE --key FILE] [--spool DIR]\n"
         "                             [--spool-max-messages N] [--spool-max-bytes N]]\n"
         "Prints every line the decoder reports as it arrives: the window's log line\n"
         "after an ISO 8601 time, or with --json one object per line (time, kind,\n"
         "identifier, status, tactical_info, stage, direction, text, log, raw).\n"
         "Ends after N lines, after S seconds, or on Ctrl+C or SIGTERM (exit code 0).\n"
         "A device that is missing or goes away is waited for; the loss is reported on\n"
         "stderr (and with --json in the output). Lines a reader does not take in time\n"
         "are dropped and counted on stderr.\n"
         "With --publish every line also goes to the MQTT broker: PREFIX/STATION/telegram\n"
         "and /line (QoS 1, numbered by \"seq\"), retained /status and /device. What the\n"
         "broker cannot take yet waits in a spool on disk. The station defaults to the\n"
         "host name; the login comes from --credentials FILE or KARVENZOP_MQTT_USERNAME\n"
         "and KARVENZOP_MQTT_PASSWORD.\n"},
        {"watch", {"--json", "--count", "--duration", "--credentials", "--ca-file", "--cert", "--key", "--session"},
         "usage: karvenzop-cli watch mqtt[s]://HOST[:PORT]/PREFIX [--json] [--count N] [--duration S]\n"
         "                          [--session NAME] [--credentials FILE] [--ca-file FILE]\n"
         "                          [--cert FILE --key FILE]\n"
         "Prints the messages of every station publishing under PREFIX as they arrive:\n"
         "telegrams and lines, status (online, offline, device-lost) and device state.\n"
         "A gap in a station's numbering is shown once (\"gap: seq A to B not received\");\n"
         "a message shown already is not shown again. With --session NAME the broker\n"
         "keeps what arrives while watch is away and delivers it on the next start with\n"
         "the same NAME (letters, digits, '.', '_' and '-').\n"
         "Ends after N messages, after S seconds, or on Ctrl+C or SIGTERM (exit code 0);\n"
         "exit code 5 when the broker refuses the login.\n"},
        {"board", {"--listen", "--session", "--substitutions", "--credentials", "--ca-file", "--cert", "--key"},
         "usage: karvenzop-cli board mqtt[s]://HOST[:PORT]/PREFIX [--listen ADDRESS:PORT]\n"
         "                          [--session NAME] [--substitutions FILE] [--credentials FILE]\n"
         "                          [--ca-file FILE] [--cert FILE --key FILE]\n"
         "Serves a live status board of every station publishing under PREFIX over HTTP\n"
         "(default 127.0.0.1:8470): the page at /, Server-Sent Events at /events, the\n"
         "state as JSON at /api/state and Prometheus metrics at /metrics. Vehicle names\n"
         "come from the substitution list. The broker keeps what arrives while the board\n"
         "is away for the session NAME (default \"board\"). Runs until Ctrl+C or SIGTERM\n"
         "(exit code 0); exit code 5 when the broker refuses the login.\n"},
        {"check", {"--server", "--port", "--json"},
         "usage: karvenzop-cli check [--server H:P] [--port P] [--json]\n"
         "Asks the update server for the newest tool and decoder firmware versions.\n"
         "Exits with 100 when the server offers a newer tool or, with --port, a newer\n"
         "firmware than the decoder's, with 0 when not.\n"},
        {"flash", {"--port", "--image", "--server", "--save-dir", "--yes", "--allow-unsigned", "--allow-downgrade"},
         "usage: karvenzop-cli flash [--port P] [--image FILE | --server H:P [--save-dir DIR]]\n"
         "                           [--yes] [--allow-unsigned] [--allow-downgrade]\n"
         "Writes decoder firmware: downloaded from the update server and saved as\n"
         "firmware.acy in DIR (default: the working folder; on Windows %APPDATA%\\KarvenZop),\n"
         "or the given image file. A download's\n"
         "signature (<image>.minisig) is checked against the trusted keys; then it\n"
         "asks, naming target, versions and signer, unless --yes. An unsigned image\n"
         "or one older than the decoder's is refused unless allowed, and then asked\n"
         "about even with --yes. A running update is not interrupted by Ctrl+C.\n"},
    };
    return commands;
}

const char *const ToolHelp =
    "usage: karvenzop-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  ports     the serial ports, with the adapter's description\n"
    "  info      serial number, firmware version, hardware revision\n"
    "  clock     set the decoder's clock to now\n"
    "  reset     send the decoder its reset command\n"
    "  tones     the active tone table\n"
    "  monitor   print the decoder's lines as they arrive (and publish them to MQTT)\n"
    "  watch     print what the stations publish to an MQTT broker\n"
    "  board     serve the stations' state as a web page and metrics\n"
    "  check     tool and decoder versions on the update server\n"
    "  flash     write decoder firmware\n"
    "\n"
    "Options:\n"
    "  --port P        serial port (default: the first of KARVENZOP_PORTS on Linux, or the only port present)\n"
    "  --server H:P    update server, https://H:P for TLS (default: KARVENZOP_UPDATE_SERVER, else the\n"
    "                  window's setting, else localhost:80)\n"
    "  --json          machine-readable output, one object per line\n"
    "  --help          help for the tool or for a command\n"
    "\n"
    "Exit codes: 0 success, 1 decoder or port error, 2 usage, 3 server error,\n"
    "4 firmware update refused or failed, 5 the MQTT broker refused the login (watch),\n"
    "6 a local file could not be read or written, 7 the output could not be written,\n"
    "100 (check) a newer version on the server.\n";

int Usage(const std::string &problem)
{
    PrintError(problem);
    WriteErr("Try 'karvenzop-cli --help'.\n");
    return ExitUsage;
}

bool TakesValue(const std::string &option)
{
    static const std::set<std::string> withValue = {
        "--port",          "--count",   "--duration", "--server", "--image", "--publish",
        "--station",       "--substitutions", "--save-dir", "--credentials", "--ca-file", "--cert", "--key",
        "--spool",         "--spool-max-messages", "--spool-max-bytes", "--listen", "--session"};
    return withValue.count(option) > 0;
}

// The largest --count and --duration: checked before any conversion, so
// a huge value is refused instead of overflowing a clock or an integer.
constexpr double MaxCount = 1e15;
constexpr double MaxDurationSeconds = 10 * 365 * 86400.0;

bool ParseNumber(const std::string &text, double &out, double largest = MaxCount)
{
    char *end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && out >= 0 && out <= largest;
}

int RunCommandLine(int argc, char **argv);

} // namespace

int main(int argc, char **argv)
{
    PrepareConsole();
    const int code = RunCommandLine(argc, argv);
    // Output that did not arrive is a failure the caller must see, also when
    // the command itself went well.
    return code == ExitOk && OutputFailed() ? int(ExitOutput) : code;
}

namespace {

int RunCommandLine(int argc, char **argv)
{
    // Library messages read as the window's: through the same catalogues.
    InitializeTranslation(ResolvedProgramPath());
    TSerialPort::RegisterMessageDomain();

    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return Usage("no command given");
    if (args[0] == "--help" || args[0] == "-h") {
        WriteOut(ToolHelp);
        return ExitOk;
    }
    if (args[0] == "--version") {
        WriteOut("karvenzop-cli " KZ_VERSION "\n");
        return ExitOk;
    }
    const Command *command = nullptr;
    for (const Command &c : Commands())
        if (args[0] == c.name)
            command = &c;
    if (!command)
        return Usage("unknown command '" + args[0] + "'");

    std::map<std::string, std::string> options;
    for (size_t i = 1; i < args.size(); ++i) {
        std::string option = args[i];
        std::string value;
        if (option == "--help" || option == "-h") {
            WriteOut(command->help);
            return ExitOk;
        }
        if (option == "-y")
            option = "--yes";
        // watch takes the broker address as its one argument.
        if ((command->name == std::string("watch") || command->name == std::string("board")) && option.rfind("-", 0) != 0 && !options.count("url")) {
            options["url"] = option;
            continue;
        }
        const size_t equals = option.find('=');
        const bool inlineValue = option.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = option.substr(equals + 1);
            option.resize(equals);
        }
        if (!command->options.count(option))
            return Usage(std::string(command->name) + ": unknown option '" + option + "'");
        if (TakesValue(option) && !inlineValue) {
            if (i + 1 >= args.size())
                return Usage(option + " needs a value");
            value = args[++i];
        }
        options[option] = value;
    }

    auto has = [&](const char *o) { return options.count(o) > 0; };
    const bool json = has("--json");
    if (has("--port") && options["--port"].empty())
        return Usage("--port needs a port name");
    std::string port = has("--port") ? options["--port"] : std::string();
    // check compares the decoder's firmware only when asked to.
    if (command->options.count("--port") && port.empty() && command->name != std::string("check")) {
        port = DefaultPort();
        if (port.empty())
            return Usage(NoPortGiven);
        // A script's log shows which device was used when none was named.
        WriteErr("karvenzop-cli: using port " + Printable(port) + "\n");
    }
    const std::string name = command->name;

    if (name == "ports")
        return RunPorts(json);
    double number = 0;
    // The problem with --count or --duration, or empty.
    auto countAndDuration = [&](long &count, double &duration) -> std::string {
        if (has("--count")) {
            if (!ParseNumber(options["--count"], number) || number != static_cast<long>(number))
                return "--count needs a whole number up to 10^15";
            count = static_cast<long>(number);
        }
        if (has("--duration")) {
            if (!ParseNumber(options["--duration"], number, MaxDurationSeconds))
                return "--duration needs a number of seconds up to ten years";
            duration = number;
        }
        return {};
    };
    auto brokerOptions = [&] {
        std::map<std::string, std::string> broker;
        for (const char *o : {"--credentials", "--ca-file", "--cert", "--key"})
            if (has(o))
                broker[o] = options[o];
        return broker;
    };
    EventWait wait;
    if (name == "check")
        return RunCheck({options["--server"], port, json}, wait);
    if (name == "watch") {
        WatchOptions watch;
        if (!has("url"))
            return Usage("watch: no broker address given (mqtt://HOST/PREFIX)");
        watch.url = options["url"];
        watch.json = json;
        watch.broker = brokerOptions();
        if (has("--session"))
            watch.session = options["--session"];
        if (has("--session") && (watch.session.empty() || watch.session.size() > 64 ||
                                 watch.session.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                                 "0123456789._-") != std::string::npos))
            return Usage("--session needs a name of up to 64 letters, digits, '.', '_' or '-'");
        if (const std::string problem = countAndDuration(watch.count, watch.duration); !problem.empty())
            return Usage(problem);
        try {
            return RunWatch(watch, wait);
        } catch (const std::invalid_argument &e) {
            return Usage(e.what());
        } catch (const std::exception &e) {
            PrintError(e.what());
            return ExitUsage;
        }
    }
    if (name == "board") {
        BoardOptions board;
        if (!has("url"))
            return Usage("board: no broker address given (mqtt://HOST/PREFIX)");
        board.url = options["url"];
        board.broker = brokerOptions();
        for (const auto &[option, value] : {std::pair{"--listen", &board.listen}, std::pair{"--session", &board.session},
                                            std::pair{"--substitutions", &board.substitutions}}) {
            if (!has(option))
                continue;
            if (options[option].empty())
                return Usage(std::string(option) + " needs a value");
            *value = options[option];
        }
        try {
            return RunBoard(board, wait);
        } catch (const std::invalid_argument &e) {
            return Usage(e.what());
        } catch (const std::exception &e) {
            PrintFailure(e);
            return ExitLocalFile;
        }
    }
    if (name == "info")
        return RunInfo(port, json, wait);
    if (name == "clock")
        return RunClock(port, wait);
    if (name == "reset")
        return RunReset(port, wait);
    if (name == "tones")
        return RunTones(port, json, wait);
    if (name == "monitor") {
        MonitorOptions monitor;
        monitor.port = port;
        monitor.json = json;
        if (const std::string problem = countAndDuration(monitor.count, monitor.duration); !problem.empty())
            return Usage(problem);
        if (has("--publish")) {
            StationOptions station;
            station.url = options["--publish"];
            station.station = options["--station"];
            if (has("--station") && station.station.empty())
                return Usage("--station needs a name");
            station.substitutions = options["--substitutions"];
            station.spool = options["--spool"];
            station.broker = brokerOptions();
            for (const auto &[option, limit] : {std::pair{"--spool-max-messages", &station.limits.maxMessages},
                                                std::pair{"--spool-max-bytes", &station.limits.maxBytes}}) {
                if (!has(option))
                    continue;
                if (!ParseNumber(options[option], number) || number < 1 || number != static_cast<uint64_t>(number))
                    return Usage(std::string(option) + " needs a whole number above 0");
                *limit = static_cast<uint64_t>(number);
            }
            monitor.station = station;
        } else {
            for (const char *o : {"--station", "--substitutions", "--credentials", "--ca-file", "--cert", "--key",
                                  "--spool", "--spool-max-messages", "--spool-max-bytes"})
                if (has(o))
                    return Usage(std::string(o) + " belongs with --publish");
        }
        try {
            return RunMonitor(monitor, wait);
        } catch (const std::invalid_argument &e) {
            return Usage(e.what());
        } catch (const std::exception &e) {
            PrintFailure(e);
            return ExitDecoderError;
        }
    }
    // flash
    if (has("--image") && has("--server"))
        return Usage("flash: --image and --server exclude each other");
    if (has("--image") && has("--save-dir"))
        return Usage("flash: --save-dir is for a download, not for --image");
    FlashOptions flash;
    flash.port = port;
    flash.image = options["--image"];
    flash.server = options["--server"];
    flash.saveDir = options["--save-dir"];
    flash.yes = has("--yes");
    flash.allowUnsigned = has("--allow-unsigned");
    flash.allowDowngrade = has("--allow-downgrade");
    return RunFlash(flash, wait);
}

} // namespace
