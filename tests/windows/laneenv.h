#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

// What scripts/windows/test-windows.sh passes in the environment (the mapped
// COM ports, the simulator's files); a test that needs it skips without it.
inline std::string Env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

#define REQUIRE_ENV(var, name)                                                          \
    const std::string var = Env(name);                                                  \
    if (var.empty())                                                                    \
        GTEST_SKIP() << name << " is not set: run scripts/windows/test-windows.sh";
