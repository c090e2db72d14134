#include "trustedkeys.h"

#include <cstdlib>

const char kKeyListSeparator = ';';

std::string UserKeyFolder()
{
    const char *appData = std::getenv("APPDATA");
    return appData && *appData ? std::string(appData) + "\\KarvenZop\\keys" : std::string();
}
