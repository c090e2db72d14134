// A valid shared library without the bootloader exports, for the binding's tests.
extern "C" int KzNotTheBootloader() { return 1; }
