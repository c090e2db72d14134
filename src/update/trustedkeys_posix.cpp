#include "trustedkeys.h"

#include <cstdlib>

const char kKeyListSeparator = ':';

std::string UserKeyFolder()
{
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config == '/')
        return std::string(config) + "/karvenzop/keys";
    const char *home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.config/karvenzop/keys" : std::string();
}
