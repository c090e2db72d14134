#include "portcombobox.h"
#include "serialport.h"
#include "signalled.h"

#include "ptyhelpers.h"
#include "remoteservers.h"

#include <QApplication>
#include <QStandardPaths>
#include <QImage>
#include <QSet>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

QRgb CentreOf(TSignalLed &led)
{
    return led.grab().toImage().pixel(led.width() / 2, led.height() / 2);
}

QRgb CentreOf(const QPixmap &picture)
{
    return picture.toImage().pixel(picture.width() / 2, picture.height() / 2);
}

} // namespace

TEST(LedPictures, AreSmallTransparentAndDifferLitFromDark)
{
    for (TLedKind kind : {lkRedLight, lkGreenLight, lkBlueLight, lkYellowLight, lkPurpleLight, lkBulb}) {
        for (bool lit : {true, false}) {
            const QImage image = LedPicture(kind, lit);
            ASSERT_EQ(image.size(), QSize(15, 15));
            QSet<QRgb> colours;
            for (int y = 0; y < 15; ++y)
                for (int x = 0; x < 15; ++x)
                    colours.insert(image.pixel(x, y));
            EXPECT_LE(colours.size(), 16) << kind;
            const QImage shown = TransparentLedPixmap(image).toImage();
            EXPECT_EQ(qAlpha(shown.pixel(0, 14)), 0);
            EXPECT_EQ(qAlpha(shown.pixel(7, 7)), 255);
        }
        EXPECT_NE(LedPicture(kind, true).pixel(7, 8), LedPicture(kind, false).pixel(7, 8)) << kind;
    }
    EXPECT_TRUE(LedPicture(lkCustom, true).isNull());
}

TEST(SignalLed, ConnectionLampFollowsThePortBeforeTheWindowHandlers)
{
    PtyPair pty;
    TSerialPort port;
    port.SetPort(pty.slavePath);
    TSignalLed led;
    led.SetKind(lkBlueLight);
    led.SetSerialPort(&port);
    led.show();
    std::vector<TLedState> changes;
    led.OnChange = [&](TSignalLed &, TLedState s) { changes.push_back(s); };

    TLedState atAfterOpen = lsOff, atAfterClose = lsOn;
    port.OnAfterOpen = [&](TCustomSerialPort &) { atAfterOpen = led.State(); };
    port.OnAfterClose = [&](TCustomSerialPort &) { atAfterClose = led.State(); };
    port.OpenPort();
    EXPECT_EQ(atAfterOpen, lsOn);
    EXPECT_EQ(CentreOf(led), CentreOf(led.GlyphOn()));
    port.ClosePort();
    EXPECT_EQ(atAfterClose, lsOff);
    EXPECT_EQ(changes, (std::vector<TLedState>{lsOn, lsOff}));

    // A lamp attached to a port that is already open lights at once.
    port.OpenPort();
    TSignalLed late;
    late.SetSerialPort(&port);
    EXPECT_EQ(late.State(), lsOn);

    try {
        led.SetState(lsOff);
        FAIL() << "state set by hand while attached";
    } catch (const ESerialPort &e) {
        EXPECT_EQ(e.LibraryCode(), 19);
    }
    EXPECT_EQ(led.State(), lsOn);
    led.SetSerialPort(nullptr);
    EXPECT_EQ(led.State(), lsOff);
    led.SetState(lsOn);
    EXPECT_EQ(led.State(), lsOn);
}

TEST(SignalLed, ReceiveLampLightsWhileBytesWait)
{
    PtyPair pty;
    TSerialPort port;
    port.SetPort(pty.slavePath);
    TSignalLed led;
    led.SetLedSignal(lsRx);
    led.SetKind(lkGreenLight);
    led.SetSerialPort(&port);
    int readPerEvent = 1000;
    std::vector<TLedState> seenInHandler;
    int events = 0;
    port.OnRxChar = [&](TCustomSerialPort &sender, int count) {
        seenInHandler.push_back(led.State());
        std::string s;
        sender.ReadString(s, std::min(count, readPerEvent));
        ++events;
    };
    port.OpenPort();
    EXPECT_EQ(led.State(), lsOff); // the connection does not light it

    pty.Send("GR\x1e" "3\n\r");
    ASSERT_TRUE(PumpUntil([&] { return events == 1; }));
    EXPECT_EQ(seenInHandler.back(), lsOn);
    EXPECT_EQ(led.State(), lsOff);

    readPerEvent = 1;
    pty.Send("ab");
    ASSERT_TRUE(PumpUntil([&] { return events == 2; }));
    EXPECT_EQ(led.State(), lsOn);

    // A transmit lamp without a port never lights.
    TSignalLed tx;
    tx.SetLedSignal(lsTx);
    port.WriteString("GS\x1e\n\r");
    PumpFor(50);
    EXPECT_EQ(tx.State(), lsOff);

    // The lamp lets go when the port goes away first.
    {
        TSerialPort shortLived;
        led.SetSerialPort(&shortLived);
    }
    EXPECT_EQ(led.SerialPort(), nullptr);
    EXPECT_EQ(led.State(), lsOff);
}

TEST(SignalLed, ModemLampsFollowARemotePortAndItsBreaksAndErrorsArriveAsLocally)
{
    // pyserial's server in front of a pty, its lines and line events set
    // through a file.
    PtyPair pty;
    TempDir dir;
    const std::string lines = dir.Path() + "/lines";
    const auto setLines = [&](const std::string &words) { dir.WriteFile("lines", words); };
    setLines("");
    DeviceServer server(DeviceServer::Pyserial, pty.slavePath, 0, nullptr, {}, lines);

    TSerialPort port;
    port.SetPort(server.Url());
    TSignalLed cts, dsr, rlsd;
    cts.SetLedSignal(lsCTS);
    dsr.SetLedSignal(lsDSR);
    rlsd.SetLedSignal(lsRLSD);
    for (TSignalLed *led : {&cts, &dsr, &rlsd})
        led->SetSerialPort(&port);
    const auto lamps = [&] { return std::vector<TLedState>{cts.State(), dsr.State(), rlsd.State()}; };
    int breaks = 0;
    std::vector<TSerialErrors> errors;
    port.OnBreak = [&](TCustomSerialPort &) { ++breaks; };
    port.OnError = [&](TCustomSerialPort &, TSerialErrors e) { errors.push_back(e); };
    port.OpenPort();
    EXPECT_EQ(lamps(), (std::vector<TLedState>{lsOff, lsOff, lsOff}));

    setLines("cts");
    EXPECT_TRUE(PumpUntil([&] { return lamps() == std::vector<TLedState>{lsOn, lsOff, lsOff}; }, 5000));
    setLines("dsr cd");
    EXPECT_TRUE(PumpUntil([&] { return lamps() == std::vector<TLedState>{lsOff, lsOn, lsOn}; }, 5000));

    // A break comes as OnBreak, and LineErrors holds it, as a UART's counter would.
    setLines("dsr cd break");
    ASSERT_TRUE(PumpUntil([&] { return breaks == 1; }, 5000));
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(port.LineErrors(), seBreak);
    EXPECT_EQ(port.LineErrors(), 0);
    // Line errors as OnError; parity only where the port checks it.
    setLines("dsr cd framing overrun parity");
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }, 5000));
    EXPECT_EQ(errors, std::vector<TSerialErrors>{seFrame | seOverrun});
    EXPECT_EQ(breaks, 1);
    EXPECT_EQ(lamps(), (std::vector<TLedState>{lsOff, lsOn, lsOn}));

    // The close purges what the server holds, both ways.
    port.ClosePort();
    EXPECT_EQ(lamps(), (std::vector<TLedState>{lsOff, lsOff, lsOff}));
    EXPECT_NE(server.WaitForOutput("purge in"), "");
    EXPECT_NE(server.WaitForOutput("purge out"), "");
}

TEST(RemoteSerialPort, WhatTheServerReadBeforeTheSettingsArrivedIsNotReadAsNew)
{
    // pyserial's server keeps the device open between clients, so what the
    // decoder sent meanwhile waits in it, as bytes at a server's own rate do.
    PtyPair pty;
    DeviceServer server(DeviceServer::Pyserial, pty.slavePath);
    pty.Send("STALE\r");
    TSerialPort port;
    port.SetPort(server.Url());
    port.OpenPort();
    pty.Send("FRESH\r");
    std::string received;
    EXPECT_TRUE(PumpUntil([&] {
        std::string piece;
        port.ReadString(piece, 64);
        received += piece;
        return received.find("FRESH\r") != std::string::npos;
    }, 5000));
    EXPECT_EQ(received, "FRESH\r");
    port.ClosePort();
}

TEST(SignalLed, DisabledLampShowsItsDarkPictureAndCustomGlyphsNeedCustomKind)
{
    TSignalLed led;
    led.resize(25, 25);
    led.SetKind(lkYellowLight);
    led.SetState(lsOn);
    led.show();
    EXPECT_EQ(CentreOf(led), CentreOf(led.GlyphOn()));
    led.setEnabled(false);
    EXPECT_EQ(CentreOf(led), CentreOf(led.GlyphOff()));
    EXPECT_NE(CentreOf(led.GlyphOn()), CentreOf(led.GlyphOff()));
    led.setEnabled(true);

    QImage square(9, 9, QImage::Format_RGB32);
    square.fill(qRgb(1, 2, 3));
    led.SetGlyphOn(square); // ignored: not a custom lamp
    EXPECT_EQ(led.GlyphOn().width(), 15);
    led.SetKind(lkCustom);
    led.SetGlyphOn(square);
    led.SetGlyphOff(square);
    EXPECT_EQ(led.GlyphOn().width(), 9);
    // One colour, so the lower-left pixel makes it all transparent.
    EXPECT_EQ(qAlpha(led.GlyphOn().toImage().pixel(4, 4)), 0);
}

TEST(PortComboBox, StartsUpOnTheStoredPortAndReportsOnlyUserPicks)
{
    char dir[] = "/tmp/kzboxXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    // Configured ports are listed while they exist.
    char ports[] = "/tmp/kzboxportsXXXXXX";
    const std::string P = mkdtemp(ports);
    for (const char *name : {"ttyS3", "ttyS0", "ttyUSB1"})
        std::ofstream(P + "/" + name) << "";
    setenv("KARVENZOP_PORTS", (P + "/ttyS3:" + P + "/ttyS0:" + P + "/ttyUSB1").c_str(), 1);
    TSerialPort port;
    port.SetPort(P + "/ttyS3");
    TPortComboBox box;
    box.PortSelect().SysfsRoot = dir;
    int changes = 0;
    box.OnChange = [&](TPortComboBox &) { ++changes; };

    box.SetPortProperty(cpPort);
    box.SetText(P + "/ttyS0");
    box.SetItemIndex(0);
    box.SetSerialPort(&port);
    unsetenv("KARVENZOP_PORTS");
    rmdir(dir);

    ASSERT_EQ(box.count(), 3);
    EXPECT_EQ(box.itemText(0), QString::fromStdString(P + "/ttyS0"));
    EXPECT_EQ(box.Text(), P + "/ttyS3");
    EXPECT_EQ(box.currentText(), QString::fromStdString(P + "/ttyS3"));
    EXPECT_FALSE(box.isEditable());
    EXPECT_EQ(changes, 0);

    box.SetText(P + "/TTYUSB1");
    EXPECT_EQ(box.currentIndex(), 2);
    EXPECT_EQ(changes, 0);

    emit box.activated(0); // as the user's pick arrives
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(box.Text(), P + "/ttyS0");
    EXPECT_EQ(box.PortSelect().ChosenPort(), P + "/ttyS0");
    EXPECT_EQ(port.Port(), P + "/ttyS3"); // AutoApply is off
    std::system(("rm -rf " + P).c_str());
}

int main(int argc, char **argv)
{
    // Test discovery runs the binary without the test environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Remembered choices go to a test folder, never the user's configuration.
    QStandardPaths::setTestModeEnabled(true);
    MainThreadSync::Instance().SetMainThread(std::this_thread::get_id());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
