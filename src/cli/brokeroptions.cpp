#include "brokeroptions.h"

#include <stdexcept>

namespace cli {

publish::LinkSettings BrokerLinkFromOptions(const std::string &url, const std::map<std::string, std::string> &options)
{
    auto option = [&](const char *name) {
        const auto found = options.find(name);
        return found == options.end() ? std::string() : found->second;
    };
    publish::LinkSettings link;
    link.broker = publish::ParseBrokerAddress(url);
    link.tls.caFile = option("--ca-file");
    link.tls.certFile = option("--cert");
    link.tls.keyFile = option("--key");
    if (link.tls.certFile.empty() != link.tls.keyFile.empty())
        throw std::invalid_argument("--cert and --key go together");
    if (link.broker.tls && !publish::TlsAvailable())
        throw std::invalid_argument("mqtts:// is not available in this build (its MQTT library has no TLS)");
    if (!link.broker.tls && (!link.tls.caFile.empty() || !link.tls.certFile.empty()))
        throw std::invalid_argument("--ca-file, --cert and --key need an mqtts:// address");
    link.credentials = publish::LoadCredentials(option("--credentials"));
    return link;
}

} // namespace cli
