#include "portlist.h"
#include "portselect.h"
#include "serialport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A stand-in for /sys/class/tty with a few kinds of entries.
class FakeSysfs {
public:
    FakeSysfs()
    {
        char dir[] = "/tmp/kzsysfsXXXXXX";
        root_ = mkdtemp(dir);
        mkdir((root_ + "/drivers").c_str(), 0755);
        mkdir((root_ + "/drivers/serial8250").c_str(), 0755);
        mkdir((root_ + "/drivers/ftdi_sio").c_str(), 0755);
        mkdir((root_ + "/class").c_str(), 0755);
    }
    ~FakeSysfs() { std::system(("rm -rf " + root_).c_str()); }

    std::string ClassDir() const { return root_ + "/class"; }

    void Add(const std::string &name, const std::string &driver, const char *uartType = nullptr)
    {
        const std::string tty = ClassDir() + "/" + name;
        mkdir(tty.c_str(), 0755);
        if (!driver.empty()) {
            mkdir((tty + "/device").c_str(), 0755);
            symlink((root_ + "/drivers/" + driver).c_str(), (tty + "/device/driver").c_str());
        }
        if (uartType)
            std::ofstream(tty + "/type") << uartType << "\n";
    }

private:
    std::string root_;
};

class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name))
            old_ = std::make_unique<std::string>(old);
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char *name_;
    std::unique_ptr<std::string> old_;
};

} // namespace

TEST(PortList, ListsHardwareAndConfiguredPortsSortedAsText)
{
    FakeSysfs sysfs;
    sysfs.Add("ttyUSB0", "ftdi_sio");
    sysfs.Add("ttyS0", "serial8250", "4");
    sysfs.Add("ttyS1", "serial8250", "0"); // no UART behind it
    sysfs.Add("tty1", "");                 // virtual terminal
    // Configured paths are listed while they exist (/tmp/kzcomXXXXXX/gone does not).
    char dir[] = "/tmp/kzcomXXXXXX";
    const std::string d = mkdtemp(dir);
    for (const char *name : {"COM3", "COM10", "COM2", "com2"})
        std::ofstream(d + "/" + name) << "";
    const std::string list = d + "/COM3:" + d + "/COM10::" + d + "/COM2:" + d + "/gone:" + d + "/com2";
    ScopedEnv env("KARVENZOP_PORTS", list.c_str());

    const std::vector<std::string> expected = {"/dev/ttyS0", "/dev/ttyUSB0", d + "/COM10", d + "/COM2",
                                               d + "/com2", d + "/COM3"};
    EXPECT_EQ(EnumeratePorts(sysfs.ClassDir()), expected);
    std::system(("rm -rf " + d).c_str());
}

TEST(PortList, DeviceFoundInSysAndNamedInTheVariableIsListedOnce)
{
    FakeSysfs sysfs;
    sysfs.Add("null", "ftdi_sio"); // a device node every system has
    char dir[] = "/tmp/kzportsXXXXXX";
    const std::string links = mkdtemp(dir);
    ASSERT_EQ(symlink("/dev/null", (links + "/by-id-adapter").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", (links + "/other").c_str()), 0);
    const std::string list = "/dev/null:" + links + "/by-id-adapter:" + links + "/other:/dev/zero";
    ScopedEnv env("KARVENZOP_PORTS", list.c_str());

    const std::vector<std::string> expected = {"/dev/null", links + "/other"};
    EXPECT_EQ(EnumeratePorts(sysfs.ClassDir()), expected);
    std::system(("rm -rf " + links).c_str());
}

TEST(PortList, UsbAdapterIsDescribedByMakerProductSerialAndItsStableName)
{
    // sysfs: the tty's device is a USB interface below the USB device.
    char dir[] = "/tmp/kzusbXXXXXX";
    const std::string root = mkdtemp(dir);
    const std::string usb = root + "/devices/usb1/1-2";
    std::system(("mkdir -p " + usb + "/1-2:1.0 " + root + "/class/null " + root + "/by-id").c_str());
    std::ofstream(usb + "/manufacturer") << "FTDI\n";
    std::ofstream(usb + "/product") << "FT232R USB UART\n";
    std::ofstream(usb + "/serial") << "A1B2C3\n";
    ASSERT_EQ(symlink((usb + "/1-2:1.0").c_str(), (root + "/class/null/device").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", (root + "/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0").c_str()), 0);

    EXPECT_EQ(PortDescription("/dev/null", root + "/class", root + "/by-id"),
              "FTDI FT232R USB UART A1B2C3 (usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0)");
    // Nothing known: no description.
    EXPECT_EQ(PortDescription("/dev/zero", root + "/class", root + "/by-id"), "");
    std::system(("rm -rf " + root).c_str());
}

TEST(PortList, RemotePortsInTheVariableAreListedWhole)
{
    FakeSysfs sysfs;
    ScopedEnv env("KARVENZOP_PORTS", "rfc2217://site7.example:4001:/tmp/kz-no-such-port:rfc2217+tls://10.0.0.2:2217");
    const std::vector<std::string> ports = EnumeratePorts(sysfs.ClassDir());
    const std::vector<std::string> expected = {"rfc2217+tls://10.0.0.2:2217", "rfc2217://site7.example:4001"};
    EXPECT_EQ(ports, expected);
    for (const std::string &folder : PortFolders())
        EXPECT_EQ(folder.find("rfc2217"), std::string::npos) << folder;
}

TEST(PortList, EmptyClassGivesEmptyListAndMissingClassRaises23)
{
    FakeSysfs sysfs;
    ScopedEnv env("KARVENZOP_PORTS", nullptr);
    EXPECT_TRUE(EnumeratePorts(sysfs.ClassDir()).empty());
    try {
        EnumeratePorts(sysfs.ClassDir() + "/missing");
        FAIL() << "no error";
    } catch (const ESerialPort &e) {
        EXPECT_EQ(e.LibraryCode(), 23);
        EXPECT_EQ(e.SystemErrorCode(), ENOENT);
        EXPECT_EQ(e.Message(), "Registry error (win error code: 2)");
    }
}

TEST(PortSelect, FollowsThePortNameWithLetterCaseIgnored)
{
    FakeSysfs sysfs;
    // Configured ports are listed while they exist.
    char dir[] = "/tmp/kzselXXXXXX";
    const std::string P = mkdtemp(dir);
    for (const char *name : {"ttyS0", "com4", "COM1"})
        std::ofstream(P + "/" + name) << "";
    const std::string list = P + "/ttyS0:" + P + "/com4:" + P + "/COM1";
    ScopedEnv env("KARVENZOP_PORTS", list.c_str());
    TPortSelect select;
    select.SysfsRoot = sysfs.ClassDir();
    TSerialPort port;
    port.SetPort(P + "/COM4");

    // The main window's start-up order.
    select.SetKind(cpPort);
    EXPECT_EQ(select.Text(), P + "/COM1");
    select.SetText(P + "/ttys0");
    EXPECT_EQ(select.Text(), P + "/ttyS0");
    select.SetText(P + "/ttyUSB7"); // not listed: unchanged
    EXPECT_EQ(select.Text(), P + "/ttyS0");
    select.SetItemIndex(0);
    select.SetSerialPort(&port);
    // The listed small-letter name is selected and handed on as listed.
    EXPECT_EQ(select.Text(), P + "/com4");
    EXPECT_EQ(select.ChosenPort(), P + "/com4");

    // Without a matching entry nothing is selected and the text is empty.
    TSerialPort other;
    other.SetPort("/dev/ttyACM0");
    select.SetSerialPort(&other);
    EXPECT_EQ(select.ItemIndex(), -1);
    EXPECT_EQ(select.Text(), "");

    // A pick is only remembered unless AutoApply is on.
    select.Pick(1);
    EXPECT_EQ(select.ChosenPort(), P + "/com4");
    EXPECT_EQ(other.Port(), "/dev/ttyACM0");
    select.AutoApply = true;
    select.Pick(0);
    EXPECT_EQ(other.Port(), P + "/COM1");
    std::system(("rm -rf " + P).c_str());
}

TEST(PortSelect, OffersTextFormsAndAppliesPicksOfEveryKind)
{
    TPortSelect select;
    TSerialPort port;
    port.SetBaudRate(br19200);
    select.SetKind(cpBaudRate);
    EXPECT_EQ(select.Items().size(), 16u);
    EXPECT_EQ(select.Text(), "Custom"); // no port yet: first item
    select.SetSerialPort(&port);
    EXPECT_EQ(select.Text(), "19200");

    select.AutoApply = true;
    select.Pick(13);
    EXPECT_EQ(port.BaudRate(), br115200);

    select.SetKind(cpParity);
    EXPECT_EQ(select.Text(), "None");
    select.Pick(3);
    EXPECT_EQ(port.Parity().Bits(), prMark);

    select.SetKind(cpStopBits);
    select.Pick(1);
    EXPECT_EQ(port.StopBits(), sbOne5StopBits);
    EXPECT_EQ(select.Text(), "1.5");

    select.SetKind(cpDataBits);
    EXPECT_EQ(select.Text(), "8");
    select.Pick(0);
    EXPECT_EQ(port.DataBits(), dbFive);

    port.FlowControl().SetControlDTR(dtrEnable);
    select.SetKind(cpFlowControl);
    EXPECT_EQ(select.Text(), "None");
    select.Pick(0);
    EXPECT_EQ(port.FlowControl().FlowControl(), fcHardware);
    EXPECT_EQ(port.FlowControl().ControlDTR(), dtrEnable);

    select.SetKind(cpNone);
    EXPECT_TRUE(select.Items().empty());
    EXPECT_EQ(select.Text(), "");
}

TEST(PortSelect, ForgetsADestroyedPortAndSelectsTheFirstItem)
{
    TPortSelect select;
    int changes = 0;
    select.OnListChanged = [&] { ++changes; };
    select.SetKind(cpDataBits);
    {
        TSerialPort port;
        port.SetDataBits(dbSix);
        select.SetSerialPort(&port);
        EXPECT_EQ(select.Text(), "6");
    }
    EXPECT_EQ(select.SerialPort(), nullptr);
    EXPECT_EQ(select.Text(), "5");
    EXPECT_EQ(changes, 1);
}
