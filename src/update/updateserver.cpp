#include "updateserver.h"

#include <cstdlib>

std::string UpdateServerBase()
{
    std::string server;
    if (const char *value = std::getenv("KARVENZOP_UPDATE_SERVER"))
        server = value;
    const size_t first = server.find_first_not_of(" \t\r\n");
    const size_t last = server.find_last_not_of(" \t\r\n/");
    server = first == std::string::npos || last < first ? std::string() : server.substr(first, last - first + 1);
    if (server.empty())
        server = "localhost";
    return "http://" + server;
}
