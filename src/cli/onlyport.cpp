#include "portdescription.h"

#include "portlist.h"

#include <exception>

namespace cli {

std::string OnlyPort()
{
    try {
        const std::vector<std::string> ports = EnumeratePorts();
        if (ports.size() == 1)
            return ports.front();
    } catch (const std::exception &) {
        // No list: the user has to name the port.
    }
    return {};
}

} // namespace cli
