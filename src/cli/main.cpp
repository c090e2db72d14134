// karvenzop-cli: the decoder commands, the monitor, the update check and the
// firmware update without the window. See --help and karvenzop-cli(1).

#include "console.h"
#include "decodercommands.h"
#include "eventwait.h"
#include "exitcodes.h"
#include "flashcommand.h"
#include "karvenzop_config.h"
#include "monitor.h"
#include "portlist.h"
#include "resourcestring.h"
#include "serialport.h"
#include "textout.h"

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
        {"monitor", {"--port", "--json", "--count", "--duration"},
         "usage: karvenzop-cli monitor [--port P] [--json] [--count N] [--duration S]\n"
         "Prints every line the decoder reports as it arrives: the window's log line\n"
         "after an ISO 8601 time, or with --json one object per line (time, kind,\n"
         "identifier, status, tactical_info, stage, direction, text, log, raw).\n"
         "Ends after N lines, after S seconds, or on Ctrl+C or SIGTERM (exit code 0).\n"
         "A device that goes away is waited for; the loss is reported on stderr.\n"},
        {"check", {"--server", "--json"},
         "usage: karvenzop-cli check [--server H:P] [--json]\n"
         "Asks the update server for the newest tool and decoder firmware versions.\n"},
        {"flash", {"--port", "--image", "--server", "--yes", "--allow-unsigned", "--allow-downgrade"},
         "usage: karvenzop-cli flash [--port P] [--image FILE | --server H:P] [--yes]\n"
         "                           [--allow-unsigned] [--allow-downgrade]\n"
         "Writes decoder firmware: downloaded from the update server and saved as\n"
         "firmware.acy in the working folder, or the given image file. A download's\n"
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
    "  monitor   print the decoder's lines as they arrive\n"
    "  check     tool and decoder versions on the update server\n"
    "  flash     write decoder firmware\n"
    "\n"
    "Options:\n"
    "  --port P        serial port (default: the first of KARVENZOP_PORTS, or the only port present)\n"
    "  --server H:P    update server, https://H:P for TLS (default: KARVENZOP_UPDATE_SERVER,\n"
    "                  else localhost:80)\n"
    "  --json          machine-readable output, one object per line\n"
    "  --help          help for the tool or for a command\n"
    "\n"
    "Exit codes: 0 success, 1 decoder or port error, 2 usage, 3 server error,\n"
    "4 firmware update refused or failed.\n";

int Usage(const std::string &problem)
{
    PrintError(problem);
    WriteErr("Try 'karvenzop-cli --help'.\n");
    return ExitUsage;
}

bool TakesValue(const std::string &option)
{
    return option == "--port" || option == "--count" || option == "--duration" || option == "--server" ||
           option == "--image";
}

bool ParseNumber(const std::string &text, double &out)
{
    char *end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && out >= 0;
}

// The port when none is given: the first of KARVENZOP_PORTS, as the window
// lists it, else the only serial port present.
std::string DefaultPort()
{
    if (const char *list = std::getenv("KARVENZOP_PORTS")) {
        const std::string ports = list;
        const std::string first = ports.substr(0, ports.find(':'));
        if (!first.empty())
            return first;
    }
    try {
        const std::vector<std::string> ports = EnumeratePorts();
        if (ports.size() == 1)
            return ports.front();
    } catch (const std::exception &) {
        // No list: the user has to name the port.
    }
    return {};
}

} // namespace

int main(int argc, char **argv)
{
    PrepareConsole();
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
    std::string port = has("--port") ? options["--port"] : std::string();
    if (command->options.count("--port") && port.empty()) {
        port = DefaultPort();
        if (port.empty())
            return Usage("no port given: use --port or set KARVENZOP_PORTS");
    }
    const std::string name = command->name;

    if (name == "ports")
        return RunPorts(json);
    if (name == "check")
        return RunCheck(options["--server"], json);

    EventWait wait;
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
        double number = 0;
        if (has("--count")) {
            if (!ParseNumber(options["--count"], number) || number != static_cast<long>(number))
                return Usage("--count needs a whole number");
            monitor.count = static_cast<long>(number);
        }
        if (has("--duration")) {
            if (!ParseNumber(options["--duration"], number))
                return Usage("--duration needs a number of seconds");
            monitor.duration = number;
        }
        try {
            return RunMonitor(monitor, wait);
        } catch (const std::exception &e) {
            PrintError(e.what());
            return ExitDecoderError;
        }
    }
    // flash
    if (has("--image") && has("--server"))
        return Usage("flash: --image and --server exclude each other");
    FlashOptions flash;
    flash.port = port;
    flash.image = options["--image"];
    flash.server = options["--server"];
    flash.yes = has("--yes");
    flash.allowUnsigned = has("--allow-unsigned");
    flash.allowDowngrade = has("--allow-downgrade");
    return RunFlash(flash, wait);
}
