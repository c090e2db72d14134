// Where the update server is: the command line, the environment, the
// user's settings, in that order.
#include "updateserver.h"

#include "childprocess.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(UpdateServerBase, CommandLineOverEnvironmentOverSettingsOverLocalhost)
{
    TempDir config;
    ::setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
    ::unsetenv("KARVENZOP_UPDATE_SERVER");
    EXPECT_EQ(UpdateServerBase(), "http://localhost");
    // As the window's toolkit writes the file; a quoted value is unescaped.
    config.WriteFile("KarvenZop/KarvenZop.conf",
                     "[Connection]\nUpdateServer=wrong-group\n\n[General]\nUpdateServer=\"updates.example:81\"\n");
    EXPECT_EQ(UpdateServerBase(), "http://updates.example:81");
    config.WriteFile("KarvenZop/KarvenZop.conf", "[General]\nUpdateServer=https://updates.example:8443/\n");
    EXPECT_EQ(UpdateServerBase(), "https://updates.example:8443");
    ::setenv("KARVENZOP_UPDATE_SERVER", " 127.0.0.1:8469/ ", 1);
    EXPECT_EQ(UpdateServerBase(), "http://127.0.0.1:8469");
    ::setenv("KARVENZOP_UPDATE_SERVER", "HTTPS://updates.example:8443", 1);
    EXPECT_EQ(UpdateServerBase(), "https://updates.example:8443");
    EXPECT_EQ(UpdateServerBase("127.0.0.1:9000"), "http://127.0.0.1:9000");
    ::setenv("KARVENZOP_UPDATE_SERVER", "", 1);
    config.WriteFile("KarvenZop/KarvenZop.conf", "[General]\nUpdateServer=\n");
    EXPECT_EQ(UpdateServerBase(), "http://localhost");
    ::unsetenv("KARVENZOP_UPDATE_SERVER");
    ::unsetenv("XDG_CONFIG_HOME");
}
