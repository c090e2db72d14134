#include "portwatch.h"

// Windows gives no descriptor to wait on for device arrival; the port box
// reads the registry list again whenever it is opened, which is where a
// newly plugged adapter shows. Start() says so by returning false.
PortWatch::~PortWatch() = default;

bool PortWatch::Start(const std::vector<std::string> &)
{
    return false;
}

bool PortWatch::TakeChanges()
{
    return false;
}
