#include "board.h"

#include "boardserver.h"
#include "brokeroptions.h"
#include "centresubscriber.h"
#include "eventwait.h"
#include "exitcodes.h"
#include "fleetstate.h"
#include "mainthreadsync.h"
#include "substitutionlist.h"
#include "textout.h"

#include <optional>
#include <stdexcept>
#include <thread>

namespace cli {

namespace {

// "HOST:PORT" or "[V6]:PORT"; throws std::invalid_argument.
std::pair<std::string, int> ListenAddress(const std::string &text)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        throw std::invalid_argument("--listen needs ADDRESS:PORT");
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.back() != ']')
            throw std::invalid_argument("--listen needs ADDRESS:PORT");
        host = host.substr(1, host.size() - 2);
    }
    const std::string port = text.substr(colon + 1);
    if (host.empty() || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535)
        throw std::invalid_argument("--listen needs ADDRESS:PORT with a port from 0 to 65535");
    return {host, std::stoi(port)};
}

} // namespace

int RunBoard(const BoardOptions &options, EventWait &wait)
{
    const publish::LinkSettings link = BrokerLinkFromOptions(options.url, options.broker);
    const auto [host, port] = ListenAddress(options.listen);

    std::shared_ptr<SubstitutionList> names;
    if (!options.substitutions.empty()) {
        names = std::make_shared<SubstitutionList>();
        names->LoadFromFile(options.substitutions);
    }
    publish::FleetState fleet({}, [names](const std::string &identifier) {
        if (!names)
            return std::string();
        const size_t entry = names->Find(identifier);
        return entry == SubstitutionList::npos ? std::string() : DecodeText(names->Value(entry), names->Encoding());
    });

    BoardServer server(fleet);
    const int bound = server.Bind(host, port);
    if (bound < 0) {
        PrintError("board: cannot listen on " + Printable(options.listen));
        return ExitUsage;
    }
    WriteErr("karvenzop-cli: board at http://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
             ":" + std::to_string(bound) + "/\n");

    MainThreadSync &sync = MainThreadSync::Instance();
    int owner = 0;
    std::optional<std::string> refused;
    std::thread serving([&] { server.Serve(); });
    {
        publish::CentreSubscriber subscriber(
            link, publish::CentreSubscriber::Handlers{
                      [&](const publish::StationEvent &event) { fleet.Take(event); },
                      [&](const std::string &text) {
                          sync.Post(&owner, [&, text] {
                              if (!refused)
                                  PrintError(text);
                          });
                      },
                      [&](const std::string &text) { sync.Post(&owner, [&, text] { refused = text; }); },
                      [&](bool connected) { fleet.SetBrokerConnected(connected); }},
            options.session);
        wait.Until([&] { return refused.has_value(); });
    }
    sync.CancelPosted(&owner);
    server.Stop();
    serving.join();
    if (!refused)
        return ExitOk;
    PrintError("broker " + link.broker.host + ":" + std::to_string(link.broker.port) + ": " + *refused);
    return ExitBrokerRefused;
}

} // namespace cli
