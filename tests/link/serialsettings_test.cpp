#include "serialport.h"
#include "termiossettings.h"

#include "errorhandler.h"

#include <gtest/gtest.h>

TEST(TermiosSettings, BuildsRawDecoderLineFromAnyStartingPoint)
{
    struct termios2 cooked{};
    cooked.c_iflag = ICRNL | IXON | BRKINT | INPCK;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_cflag = B38400 | CS7 | PARENB | CSTOPB | HUPCL | CRTSCTS;

    const struct termios2 t = BuildTermios(SerialLineSettings{}, cooked);
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<unsigned>(B9600));
    EXPECT_EQ(t.c_ospeed, 9600u);
    EXPECT_EQ(t.c_ispeed, 9600u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<unsigned>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<unsigned>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | BRKINT | INPCK), 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VSTART], 17);
    EXPECT_EQ(t.c_cc[VSTOP], 19);
}

TEST(TermiosSettings, MapsRatesFramingAndFlowControl)
{
    SerialLineSettings s;
    s.baudRate = 56000; // no B-constant for it
    s.dataBits = dbFive;
    s.stopBits = sbOne5StopBits;
    s.parity = prSpace;
    s.parityCheck = true;
    s.xonXoffIn = true;
    s.xonXoffOut = true;
    s.xonChar = 'Q';
    s.xoffChar = 'S';
    struct termios2 t = BuildTermios(s, {});
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<unsigned>(BOTHER));
    EXPECT_EQ(t.c_ospeed, 56000u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<unsigned>(CS5));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<unsigned>(PARENB | CMSPAR));
    EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF), static_cast<unsigned>(INPCK | IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 'Q');
    EXPECT_EQ(t.c_cc[VSTOP], 'S');

    const struct { TParityBits parity; unsigned flags; } parities[] = {
        {prNone, 0}, {prOdd, PARENB | PARODD}, {prEven, PARENB}, {prMark, PARENB | PARODD | CMSPAR}};
    for (const auto &row : parities) {
        s.parity = row.parity;
        EXPECT_EQ(BuildTermios(s, {}).c_cflag & (PARENB | PARODD | CMSPAR), row.flags) << row.parity;
    }

    SerialLineSettings h;
    h.controlRts = rtsHandshake;
    EXPECT_TRUE(BuildTermios(h, {}).c_cflag & CRTSCTS);
    h.controlRts = rtsDisable;
    h.outCtsFlow = true;
    EXPECT_TRUE(BuildTermios(h, {}).c_cflag & CRTSCTS);

    EXPECT_EQ(BaudRateCode(115200), static_cast<unsigned>(B115200));
    EXPECT_EQ(BaudRateCode(14400), static_cast<unsigned>(BOTHER));
    EXPECT_EQ(BaudRateCode(256000), static_cast<unsigned>(BOTHER));
}

TEST(TermiosSettings, HoldsModemLinesAndEstimatesCharacterTime)
{
    EXPECT_FALSE(ModemLinesFor(dtrDisable, rtsDisable).dtr);
    EXPECT_FALSE(ModemLinesFor(dtrDisable, rtsDisable).rts);
    EXPECT_TRUE(ModemLinesFor(dtrEnable, rtsEnable).dtr);
    EXPECT_TRUE(ModemLinesFor(dtrEnable, rtsEnable).rts);
    EXPECT_TRUE(ModemLinesFor(dtrHandshake, rtsHandshake).rts);
    EXPECT_FALSE(ModemLinesFor(dtrDisable, rtsToggle).rts);

    SerialLineSettings s;
    EXPECT_EQ(BitsPerCharacter(s), 10);
    s.parity = prEven;
    s.stopBits = sbTwoStopBits;
    s.dataBits = dbSeven;
    EXPECT_EQ(BitsPerCharacter(s), 11);
}

TEST(SerialSettings, FlowControlSummaryReadsAndWritesOnlyItsFourSwitches)
{
    TSerialFlowControl f;
    EXPECT_EQ(f.FlowControl(), fcNone);
    f.SetControlDTR(dtrEnable);
    f.SetOutDSRFlow(true);
    f.SetFlowControl(fcHardware);
    EXPECT_EQ(f.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(f.OutCTSFlow());
    EXPECT_EQ(f.FlowControl(), fcHardware);
    f.SetFlowControl(fcSoftware);
    EXPECT_EQ(f.ControlRTS(), rtsDisable);
    EXPECT_FALSE(f.OutCTSFlow());
    EXPECT_TRUE(f.XonXoffIn() && f.XonXoffOut());
    EXPECT_EQ(f.FlowControl(), fcSoftware);
    f.SetFlowControl(fcCustom);
    EXPECT_EQ(f.FlowControl(), fcSoftware);
    f.SetXonXoffIn(false);
    EXPECT_EQ(f.FlowControl(), fcCustom);
    f.SetFlowControl(fcNone);
    EXPECT_EQ(f.FlowControl(), fcNone);
    // Never touched by the summary.
    EXPECT_EQ(f.ControlDTR(), dtrEnable);
    EXPECT_TRUE(f.OutDSRFlow());
    f.SetControlRTS(rtsToggle);
    EXPECT_EQ(f.FlowControl(), fcCustom);
}

TEST(SerialSettings, BufferSizesAreKeptEvenAndObjectsCopyIntoThePort)
{
    TSerialPort port;
    port.Buffer().SetInputSize(1025);
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    port.Buffer().SetOutputSize(1);
    EXPECT_EQ(port.Buffer().OutputSize(), 0);
    port.Buffer().SetOutputSize(-3);
    EXPECT_EQ(port.Buffer().OutputSize(), -3);

    TSerialParity parity;
    parity.SetBits(prOdd);
    parity.SetCheck(true);
    parity.SetReplaceChar('?');
    port.SetParity(parity);
    EXPECT_EQ(port.Parity().Bits(), prOdd);
    EXPECT_TRUE(port.Parity().Check());
    EXPECT_EQ(port.Parity().ReplaceChar(), '?');
    EXPECT_EQ(port.Parity().Port(), &port);

    TSerialTimeouts timeouts;
    timeouts.SetWriteTotalConstant(5);
    port.SetTimeouts(timeouts);
    EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 5);
    EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(port.Timeouts().Port(), &port);
}

TEST(SerialSettings, ClosedPortStoresValuesAndHasTheDocumentedDefaults)
{
    TSerialPort port;
    EXPECT_EQ(port.Port(), "/dev/ttyS0");
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.CustomBaudRate(), 9600);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.Events(), kAllSerialEvents);
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), 100);
    EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
    EXPECT_EQ(port.FlowControl().XonChar(), 17);

    // Nothing is applied while closed, so nothing can fail.
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(0);
    port.SetSyncMethod(smWindowSync);
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_FALSE(port.Connected());

    // Stored while loading; the open happens when loading ends, and its
    // failure goes to the default error handler instead of the caller.
    std::string reported;
    SetDefaultExceptionHandler([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception &x) {
            reported = x.what();
        }
    });
    port.BeginLoading();
    port.SetPort("/dev/kz-missing");
    port.SetConnected(true);
    EXPECT_TRUE(port.Connected());
    port.EndLoading();
    SetDefaultExceptionHandler(nullptr);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(reported, "Unable to open com port (win error code: 2)");
}

TEST(SerialError, ComposesTextAndSystemCode)
{
    const ESerialPort withCode(1, 2);
    EXPECT_EQ(withCode.Message(), "Unable to open com port (win error code: 2)");
    EXPECT_EQ(withCode.LibraryCode(), 1);
    EXPECT_EQ(withCode.SystemErrorCode(), 2);
    const ESerialPort plain(19);
    EXPECT_EQ(plain.Message(), "Cannot change led state if SerialPort is selected");
    EXPECT_EQ(plain.SystemErrorCode(), -1);
    EXPECT_EQ(ESerialPort(23, 13).Message(), "Registry error (win error code: 13)");
    EXPECT_STREQ(SerialErrorText(22), "A component is linked to OnRxBuf event");
    EXPECT_STREQ(SerialErrorText(0), "");
    EXPECT_STREQ(SerialErrorText(24), "");
    const Exception &base = withCode;
    EXPECT_STREQ(base.what(), "Unable to open com port (win error code: 2)");
}
