// The Telnet stream of a device server split into data and commands, and
// the names of remote ports.
#include "remoteportname.h"
#include "rfc2217client.h"
#include "telnetparser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
    std::string data;
    std::vector<TelnetCommand> commands;
};

// Once whole and once byte by byte; both must give the same.
Parsed ParseBothWays(const std::string &wire)
{
    Parsed whole;
    TelnetParser a;
    a.Feed(wire.data(), wire.size(), whole.data, whole.commands);
    Parsed bytewise;
    TelnetParser b;
    for (const char c : wire)
        b.Feed(&c, 1, bytewise.data, bytewise.commands);
    EXPECT_EQ(whole.data, bytewise.data);
    EXPECT_EQ(whole.commands.size(), bytewise.commands.size());
    for (size_t i = 0; i < std::min(whole.commands.size(), bytewise.commands.size()); ++i)
        EXPECT_EQ(whole.commands[i].payload, bytewise.commands[i].payload);
    return whole;
}

const std::string kIac(1, '\xff');

} // namespace

TEST(TelnetParser, SplitsDataFromNegotiationAndComPortReplies)
{
    // Data with a doubled 0xFF, a DO COM-PORT-OPTION, more data, the reply to
    // SET-BAUDRATE 19200 and a modem-state notification whose value is 0xFF.
    const std::string wire = "AB" + kIac + kIac + "C" + kIac + "\xfd\x2c" + "D" + kIac + "\xfa\x2c\x65" +
                             std::string("\x00\x00\x4b\x00", 4) + kIac + "\xf0" + kIac + "\xfa\x2c\x6b" + kIac + kIac +
                             kIac + "\xf0" + "E";
    const Parsed parsed = ParseBothWays(wire);
    EXPECT_EQ(parsed.data, "AB\xff" "CDE");
    ASSERT_EQ(parsed.commands.size(), 3u);
    EXPECT_EQ(parsed.commands[0].verb, telnet::kDo);
    EXPECT_EQ(parsed.commands[0].option, telnet::kComPortOption);
    EXPECT_EQ(parsed.commands[1].verb, telnet::kSb);
    EXPECT_EQ(parsed.commands[1].payload, std::string("\x65\x00\x00\x4b\x00", 5));
    EXPECT_EQ(parsed.commands[2].payload, "\x6b\xff");
}

TEST(TelnetParser, DropsOverlongSubnegotiationAndGoesOn)
{
    const std::string wire = kIac + "\xfa\x2c" + std::string(TelnetParser::kMaxPayload + 10, 'x') + kIac + "\xf0" + "ok";
    const Parsed parsed = ParseBothWays(wire);
    EXPECT_TRUE(parsed.commands.empty());
    EXPECT_EQ(parsed.data, "ok");
}

TEST(TelnetParser, EscapedBytesComeBackUnchanged)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    all += std::string(5, '\xff');
    const std::string wire = TelnetEscape(all.data(), all.size());
    EXPECT_EQ(wire.size(), all.size() + 6);
    EXPECT_EQ(ParseBothWays(wire).data, all);
    // A command's value is escaped too: 0xFF inside SET-BAUDRATE.
    EXPECT_EQ(Rfc2217Client::CommandBytes(1, std::string("\x00\x00\x00\xff", 4)),
              kIac + "\xfa\x2c\x01" + std::string("\x00\x00\x00", 3) + kIac + kIac + kIac + "\xf0");
}

TEST(RemotePortName, AcceptsTheTwoSchemesOnly)
{
    RemotePortName name;
    ASSERT_TRUE(ParseRemotePortName("rfc2217://site-7.example:4001", name));
    EXPECT_EQ(name.host, "site-7.example");
    EXPECT_EQ(name.port, 4001);
    EXPECT_FALSE(name.tls);
    ASSERT_TRUE(ParseRemotePortName("RFC2217+TLS://10.0.0.2:2217/", name));
    EXPECT_EQ(name.host, "10.0.0.2");
    EXPECT_TRUE(name.tls);
    for (const char *bad : {"rfc2217://host", "rfc2217://:4001", "rfc2217://host:0", "rfc2217://host:65536",
                            "rfc2217://host:40x1", "rfc2217://ho st:1", "/dev/ttyUSB0", "tcp://host:1"})
        EXPECT_FALSE(ParseRemotePortName(bad, name)) << bad;
    EXPECT_TRUE(IsRemotePortName("rfc2217://host"));
    EXPECT_FALSE(IsRemotePortName("/dev/rfc2217"));
}
