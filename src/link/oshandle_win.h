#pragma once

#include <cstdint>

#include <windows.h>

// Kernel handles are 32-bit values even in a 64-bit process (so that 32- and
// 64-bit programs can share them), so one travels in the int fields the
// port shares with the POSIX backend; INVALID_HANDLE_VALUE is -1 there too.
inline HANDLE AsHandle(int value) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value)); }
inline int HandleValue(HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }
