#pragma once

#include "exception.h"

// Every failure the bootloader library raises. The tool catches it as
// Exception; the message is meant for the user.
class EBootloader : public Exception {
    using Exception::Exception;
};
