#include "windowplatform.h"

const char *const StoredPortName = "/dev/ttyS3";
const char *const StoredPortBoxText = "/dev/ttyS0";

void UseStartingConsole() {}
