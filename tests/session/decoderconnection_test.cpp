// The window's connection without the window, on a real pseudo-terminal.
#include "decoderconnection.h"
#include "ptyhelpers.h"
#include "serialport.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

TEST(DecoderConnection, ToggleConnectsAt9600AndKeepsWhatTheDecoderLastReported)
{
    PtyPair pty;
    std::vector<std::string> events;
    session::DecoderConnection *connection = nullptr;
    std::optional<std::string> firmwareSeenByHandler;
    session::DecoderConnection::Handlers handlers;
    handlers.afterOpen = [&] { events.push_back("open"); };
    handlers.afterClose = [&] { events.push_back("close"); };
    handlers.line = [&](const decoder::DecoderLine &line) {
        events.push_back(line.logText.value_or(""));
        firmwareSeenByHandler = connection->FirmwareVersion();
    };
    session::DecoderConnection made("/dev/stored-name", handlers, nullptr);
    connection = &made;
    EXPECT_EQ(made.Port().Port(), "/dev/stored-name");
    EXPECT_EQ(made.Port().BaudRate(), br19200);

    made.Toggle(pty.slavePath);
    ASSERT_TRUE(made.Port().Connected());
    EXPECT_EQ(made.Port().BaudRate(), br9600);
    EXPECT_FALSE(made.FirmwareVersion().has_value());

    pty.Send(std::string("0\x1e" "C\x1e" "GF\x1e" "4.69\n\r0\x1e" "C\x1e" "GR\x1e" "C\n\r"));
    ASSERT_TRUE(PumpUntil([&] { return events.size() == 3; }));
    EXPECT_EQ(events, (std::vector<std::string>{"open", "Firmware version: 4.69", "Hardware revision: C"}));
    // The values are in place before the front end hears of the line.
    EXPECT_EQ(firmwareSeenByHandler, "4.69");
    EXPECT_EQ(made.HardwareRevision(), "C");
    EXPECT_FALSE(made.SerialNumber().has_value());

    // Disconnecting forgets nothing: the window keeps showing what was read.
    made.Toggle(pty.slavePath);
    EXPECT_FALSE(made.Port().Connected());
    EXPECT_EQ(events.back(), "close");
    EXPECT_EQ(made.FirmwareVersion(), "4.69");
}
