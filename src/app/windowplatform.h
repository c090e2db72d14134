#pragma once

// What the window does differently per system.

// The port names stored in the window definition: the port component's
// "COM4" and the port box's "COM1" (on Linux their stand-ins /dev/ttyS3
// and /dev/ttyS0).
extern const char *const StoredPortName;
extern const char *const StoredPortBoxText;

// A window program on Windows starts without a console: what --help,
// --version and a refused argument print goes to the console it was started
// from, unless its output was redirected anyway. Elsewhere nothing to do.
void UseStartingConsole();
