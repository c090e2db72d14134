// The main window against a decoder on a real pseudo-terminal: the test plays
// the user through the window's buttons and the decoder on the pty's master
// side (or runs the decoder simulator as its own process).

#include "../flash/simprocess.h"
#include "../link/ptyhelpers.h"
#include "../link/remoteservers.h"

#include "errorbox.h"
#include "errorhandler.h"
#include "eventlog.h"
#include "formtest.h"
#include "portcombobox.h"
#include "signalled.h"
#include "tform1.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char *const ConnectionButtons[] = {"BitBtn4", "BitBtn6", "BitBtn9", "BitBtn10", "BitBtn13",
                                         "BitBtn15", "BitBtn21", "BitBtn22", "BitBtn24", "BitBtn25"};
const char *const ToneEdits[] = {"Edit3", "Edit4", "Edit5", "Edit6", "Edit7", "Edit10",
                                 "Edit9", "Edit8", "Edit13", "Edit12", "Edit11"};

std::string Command(const std::string &code) { return "0\x1e" "C\x1e" + code + "\n\r"; }

bool MasterHungUp(const PtyPair &pty)
{
    pollfd p{pty.master, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

// Whether another program could take the device now: the window holds an
// exclusive lock on it while connected.
bool DeviceFree(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

// Leaves the line in a state the window must override: another speed,
// parity, two stop bits, seven data bits and hardware handshake.
void MisconfigureLine(const PtyPair &pty)
{
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.master, &tio), 0);
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    tio.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(tcsetattr(pty.master, TCSANOW, &tio), 0);
}

struct ShownBox {
    QString title;
    QString text;
    QString informative;
    QMessageBox::Icon icon;
};

class LinkWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Any box that comes up is noted and closed, so a test can neither
        // hang on it nor miss it.
        boxWatch_.setInterval(10);
        QObject::connect(&boxWatch_, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                boxes_.push_back({box->windowTitle(), box->text(), box->informativeText(), box->icon()});
                box->accept();
            }
        });
        boxWatch_.start();
        current_ = nullptr;
        InstallDefaultErrorHandler([]() -> QWidget * { return current_; });
    }

    void TearDown() override
    {
        // The window goes before the devices it may still hold.
        form.reset();
        ptys_.clear();
        current_ = nullptr;
        boxWatch_.stop();
        SetDefaultExceptionHandler(nullptr);
        unsetenv("KARVENZOP_PORTS");
        for (const ShownBox &box : boxes_)
            ADD_FAILURE() << "unexpected message box: " << box.text.toStdString();
    }

    // The port list is read while the window is built, so the extra device
    // paths go into the environment first.
    void MakeForm(const std::vector<std::string> &ports)
    {
        std::string list;
        for (const std::string &port : ports)
            list += (list.empty() ? "" : ":") + port;
        setenv("KARVENZOP_PORTS", list.c_str(), 1);
        form = std::make_unique<TForm1>();
        current_ = form.get();
        live_ = form.get();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        // Let the window settle (queued start-up work, a box about the
        // bootloader library) before the test looks at it.
        QTest::qWait(20);

        TSerialPort &port = form->SerialPort1();
        // Wrapped rather than replaced: the window's own handlers still run,
        // and the caption is noted after they did.
        auto afterOpen = port.OnAfterOpen;
        port.OnAfterOpen = [this, afterOpen](TCustomSerialPort &sender) {
            afterOpen(sender);
            events_.push_back("open " + sender.Port() + " " + Caption());
        };
        auto afterClose = port.OnAfterClose;
        port.OnAfterClose = [this, afterClose](TCustomSerialPort &sender) {
            afterClose(sender);
            events_.push_back("close " + Caption());
        };
        auto rxChar = port.OnRxChar;
        port.OnRxChar = [this, rxChar](TCustomSerialPort &sender, int count) {
            ++rxEvents_;
            rxChar(sender, count);
        };
        Find<TSignalLed>("SignalLed2")->OnChange = [this](TSignalLed &, TLedState state) {
            if (state == lsOn)
                ++txLampLit_;
        };
    }

    // Kept until the window is gone, so no test ends with the window
    // connected to a device whose other side has vanished.
    PtyPair &NewPty()
    {
        ptys_.push_back(std::make_unique<PtyPair>());
        return *ptys_.back();
    }

    template <class T = QWidget>
    T *Find(const char *name) const
    {
        // The window itself, also while it is being destroyed (form is empty then).
        T *widget = live_->findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    std::string Caption() const { return Find<QPushButton>("BitBtn1")->text().toStdString(); }
    QString Static(const char *name) const { return Find<QLabel>(name)->text(); }
    QString Edit(const char *name) const { return Find<QLineEdit>(name)->text(); }
    TPortComboBox *PortBox() const { return Find<TPortComboBox>("PortComboBox1"); }
    TEventLog *Log() const { return form->EventLog(); }
    std::string LogLine(int i) const { return std::string(Log()->Content().Line(i)); }
    // Telegrams the decoder reported on its own, as the log shows them.
    std::vector<std::string> TelegramLines() const
    {
        std::vector<std::string> found;
        for (int i = 0; i < Log()->Content().Count(); ++i)
            if (LogLine(i).rfind("R1: ", 0) == 0)
                found.push_back(LogLine(i));
        return found;
    }

    void Select(const std::string &path)
    {
        PortBox()->SetText(path);
        ASSERT_EQ(PortBox()->Text(), path);
    }

    // Brings the button's page to the front and clicks it as a user would.
    void Click(const char *name)
    {
        auto *button = Find<QPushButton>(name);
        auto *pages = Find<QTabWidget>("PageControl1");
        for (QWidget *w = button; w; w = w->parentWidget()) {
            const int index = pages->indexOf(w);
            if (index >= 0) {
                pages->setCurrentIndex(index);
                break;
            }
        }
        ASSERT_TRUE(button->isVisible()) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    }

    void Connect(const std::string &path)
    {
        Select(path);
        Click("BitBtn1");
        ASSERT_TRUE(form->SerialPort1().Connected()) << "no connection to " << path;
    }

    // The whole window state that follows the connection.
    void ExpectConnected(bool connected)
    {
        EXPECT_EQ(form->SerialPort1().Connected(), connected);
        EXPECT_EQ(Caption(), connected ? "Verbindung beenden" : "Verbindung herstellen");
        for (const char *name : ConnectionButtons)
            EXPECT_EQ(Find<QPushButton>(name)->isEnabled(), connected) << name;
        // Only those ten follow the connection.
        for (const char *name : {"BitBtn1", "BitBtn5", "BitBtn2", "BitBtn3", "BitBtn7", "BitBtn8", "BitBtn11",
                                 "BitBtn12", "BitBtn17", "BitBtn18", "BitBtn19", "BitBtn20"})
            EXPECT_TRUE(Find<QPushButton>(name)->isEnabled()) << name;
        EXPECT_EQ(Find<TSignalLed>("SignalLed1")->State(), connected ? lsOn : lsOff);
        EXPECT_EQ(Find<TSignalLed>("SignalLed2")->State(), lsOff);
    }

    // The message of the one box shown since the last call.
    std::string TakeBox()
    {
        EXPECT_TRUE(WaitFor([this] { return !boxes_.empty(); }, 2000));
        if (boxes_.empty())
            return {};
        const ShownBox box = boxes_.front();
        boxes_.erase(boxes_.begin());
        lastInformative_ = box.informative.toStdString();
        EXPECT_EQ(box.title, ApplicationTitle(QCoreApplication::applicationFilePath()));
        EXPECT_EQ(box.icon, QMessageBox::Critical);
        return box.text.toStdString();
    }

    std::unique_ptr<TForm1> form;
    std::vector<std::string> events_;
    int rxEvents_ = 0;
    int txLampLit_ = 0;
    std::vector<ShownBox> boxes_;
    std::string lastInformative_;   // below the message of the box TakeBox took

private:
    std::vector<std::unique_ptr<PtyPair>> ptys_;
    QTimer boxWatch_;
    static inline TForm1 *current_ = nullptr;
    TForm1 *live_ = nullptr;
};

// A decoder that answers the read commands at once, from its own thread,
// and keeps every byte it was sent.
class AnsweringDecoder {
public:
    explicit AnsweringDecoder(const PtyPair &pty) : pty_(pty), thread_([this] { Run(); }) {}
    ~AnsweringDecoder()
    {
        stop_ = true;
        thread_.join();
    }
    std::string Received() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    void Run()
    {
        std::string line;
        while (!stop_) {
            pollfd p{pty_.master, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN))
                continue;
            char buffer[256];
            const ssize_t n = read(pty_.master, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_ += buffer[i];
                }
                if (buffer[i] != '\r') {
                    line += buffer[i];
                    continue;
                }
                const std::string code = line.substr(4, 2);
                line.clear();
                if (code == "GS")
                    pty_.Send("0\x1e" "C\x1e" "GS\x1e" "A1234\n\r");
                else if (code == "GF")
                    pty_.Send("0\x1e" "C\x1e" "GF\x1e" "4.69\n\r");
                else if (code == "GR")
                    pty_.Send("0\x1e" "C\x1e" "GR\x1e" "C469-2\n\r");
                else if (code == "GT")
                    pty_.Send("0\x1e" "C\x1e" "GT\x1e" "06.12.26 14:05:09\n\r");
                else if (code == "GA")
                    pty_.Send("0\x1e" "C\x1e" "GA\x1e" "FMS:1\n\r");
            }
        }
    }

    const PtyPair &pty_;
    mutable std::mutex mutex_;
    std::string received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace

TEST_F(LinkWindowTest, ConnectAndDisconnectFollowThePort)
{
    PtyPair &pty = NewPty();
    MisconfigureLine(pty);
    MakeForm({pty.slavePath});
    ExpectConnected(false);
    EXPECT_EQ(Find<TSignalLed>("SignalLed3")->State(), lsOff);

    Connect(pty.slavePath);
    ExpectConnected(true);
    EXPECT_EQ(form->SerialPort1().Port(), pty.slavePath);
    EXPECT_EQ(form->SerialPort1().BaudRate(), br9600);
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.master, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_FALSE(MasterHungUp(pty));
    EXPECT_FALSE(DeviceFree(pty.slavePath));
    EXPECT_EQ(events_, std::vector<std::string>{"open " + pty.slavePath + " Verbindung beenden"});

    Click("BitBtn1");
    ExpectConnected(false);
    EXPECT_TRUE(DeviceFree(pty.slavePath));
    EXPECT_EQ(form->SerialPort1().BaudRate(), br9600);
    ASSERT_EQ(events_.size(), 2u);
    EXPECT_EQ(events_[1], "close Verbindung herstellen");

    // "Filtereinstellungen lesen" and "Substitutionen lesen" are the toggle too.
    for (const char *other : {"BitBtn6", "BitBtn10"}) {
        Click("BitBtn1");
        ExpectConnected(true);
        Click(other);
        ExpectConnected(false);
        EXPECT_TRUE(DeviceFree(pty.slavePath)) << other;
    }
    EXPECT_EQ(events_.size(), 6u);
    EXPECT_EQ(txLampLit_, 0);
}

TEST_F(LinkWindowTest, AnotherPortTakesEffectAtTheNextToggle)
{
    PtyPair &first = NewPty();
    PtyPair &second = NewPty();
    MakeForm({first.slavePath, second.slavePath});
    Connect(first.slavePath);

    // The user's pick alone changes nothing on the line.
    auto *box = PortBox();
    box->setFocus();
    const int target = box->findText(QString::fromLocal8Bit(second.slavePath.c_str()));
    ASSERT_GE(target, 0);
    while (box->currentIndex() != target)
        QTest::keyClick(box, box->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
    EXPECT_EQ(box->Text(), second.slavePath);
    EXPECT_EQ(form->SerialPort1().Port(), first.slavePath);
    EXPECT_FALSE(MasterHungUp(first));
    events_.clear();

    Click("BitBtn1");
    const std::vector<std::string> expected = {
        "close Verbindung herstellen",
        "open " + second.slavePath + " Verbindung beenden",
        "close Verbindung herstellen",
    };
    EXPECT_EQ(events_, expected);
    ExpectConnected(false);
    EXPECT_EQ(form->SerialPort1().Port(), second.slavePath);
    EXPECT_TRUE(DeviceFree(first.slavePath));
    EXPECT_TRUE(DeviceFree(second.slavePath));
}

TEST_F(LinkWindowTest, FailedOpenShowsThePortErrorAndStaysDisconnected)
{
    PtyPair &busy = NewPty();
    // Listed while it was there; gone (adapter pulled) by the time of the click.
    const std::string gone = "/tmp/kz-no-such-dir-" + std::to_string(getpid());
    const std::string missing = gone + "/ttyMISSING";
    mkdir(gone.c_str(), 0700);
    close(open(missing.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    MakeForm({busy.slavePath, missing});
    unlink(missing.c_str());
    rmdir(gone.c_str());

    Select(missing);
    Click("BitBtn1");
    EXPECT_EQ(TakeBox(), "Unable to open com port (win error code: 2)");
    ExpectConnected(false);
    EXPECT_EQ(form->SerialPort1().Port(), missing);
    EXPECT_EQ(form->SerialPort1().BaudRate(), br9600);

    // Nothing selected: the empty name cannot be opened either; the details
    // say what to do.
    PortBox()->SetItemIndex(-1);
    ASSERT_EQ(PortBox()->Text(), "");
    Click("BitBtn1");
    EXPECT_EQ(TakeBox(), "Unable to open com port (win error code: 2)");
    EXPECT_EQ(lastInformative_, "No port chosen: choose the decoder's port in the port list first");
    ExpectConnected(false);

    // Another program holds the device.
    const int holder = open(busy.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    Select(busy.slavePath);
    Click("BitBtn1");
    // The lock another program holds is "busy", error 16, as any other holder.
    EXPECT_EQ(TakeBox(), "Unable to open com port (win error code: " + std::to_string(EBUSY) + ")");
    EXPECT_EQ(lastInformative_.rfind(busy.slavePath + ": " + std::strerror(EBUSY) + " \u2014 another program holds", 0),
              0u)
        << lastInformative_;
    ExpectConnected(false);
    close(holder);

    // The window stays usable: the same click now connects.
    Click("BitBtn1");
    ExpectConnected(true);
    EXPECT_TRUE(events_.size() == 1 && events_[0].rfind("open ", 0) == 0);
}

TEST_F(LinkWindowTest, ReadAllValuesWritesFiveCommandsAndShowsPromptReplies)
{
    PtyPair &pty = NewPty();
    MakeForm({pty.slavePath});
    Connect(pty.slavePath);
    std::string expectedBytes;
    for (const char *code : {"GS", "GF", "GR", "GT", "GA"})
        expectedBytes += Command(code);
    {
        AnsweringDecoder decoder(pty);
        const auto started = std::chrono::steady_clock::now();
        Click("BitBtn21");
        const auto took = std::chrono::steady_clock::now() - started;
        // Five pauses of 40 ms.
        EXPECT_GE(took, std::chrono::milliseconds(5 * TForm1::CommandPauseMs));

        // The replies came in while the handler let the event loop run.
        EXPECT_EQ(Static("StaticText8"), "A1234");
        EXPECT_EQ(Static("StaticText7"), "4.69");
        EXPECT_EQ(Static("StaticText4"), "4.69");
        EXPECT_EQ(Static("StaticText6"), "C469-2");
        ASSERT_GE(Log()->Content().Count(), 3);
        EXPECT_EQ(LogLine(0), "Serial number: A1234");
        EXPECT_EQ(LogLine(1), "Firmware version: 4.69");
        EXPECT_EQ(LogLine(2), "Hardware revision: C469-2");

        ASSERT_TRUE(WaitFor([&] { return Log()->Content().Count() >= 5 && decoder.Received().size() >= expectedBytes.size(); }));
        // Replies without meaning of their own are logged as they came.
        EXPECT_EQ(LogLine(3), "0\x1e" "C\x1e" "GT\x1e" "06.12.26 14:05:09\n");
        EXPECT_EQ(LogLine(4), "0\x1e" "C\x1e" "GA\x1e" "FMS:1\n");
        EXPECT_EQ(Log()->ItemIndex(), 4);
        QTest::qWait(100);
        EXPECT_EQ(decoder.Received(), expectedBytes);
    }
    EXPECT_EQ(Log()->Content().Count(), 5);
    EXPECT_EQ(txLampLit_, 0);
    ExpectConnected(true);
}

TEST_F(LinkWindowTest, ReplySplitOverThreeEventsGivesOneLine)
{
    PtyPair &pty = NewPty();
    MakeForm({pty.slavePath});
    Connect(pty.slavePath);

    const std::string pieces[] = {"0\x1e" "C\x1e" "GS\x1e" "A1", "23", "4\n\r"};
    for (const std::string &piece : pieces) {
        const int before = rxEvents_;
        pty.Send(piece);
        ASSERT_TRUE(WaitFor([&] { return rxEvents_ > before && form->SerialPort1().InputQueueCount() == 0; }));
        if (&piece != &pieces[2]) {
            // Nothing is interpreted before the line is complete.
            EXPECT_EQ(Log()->Content().Count(), 0);
            EXPECT_EQ(Static("StaticText8"), "not read");
        }
    }
    ASSERT_EQ(Log()->Content().Count(), 1);
    EXPECT_EQ(LogLine(0), "Serial number: A1234");
    EXPECT_EQ(Static("StaticText8"), "A1234");
    EXPECT_GE(rxEvents_, 3);
}

TEST_F(LinkWindowTest, ClockCommandCarriesTheLocalTime)
{
    PtyPair &pty = NewPty();
    MakeForm({pty.slavePath});
    Connect(pty.slavePath);

    const std::time_t before = std::time(nullptr);
    Click("BitBtn4");
    const std::time_t after = std::time(nullptr);
    const std::string sent = pty.Receive(14);
    ASSERT_EQ(sent.size(), 14u);
    EXPECT_EQ(sent.substr(0, 6), "0\x1e" "C\x1e" "C\x1e");
    EXPECT_EQ(sent.substr(12), "\n\r");
    EXPECT_EQ(pty.Receive(1, 150), "");   // one command, nothing after it

    auto part = [&](int i) { return static_cast<unsigned char>(sent[6 + i]) - 100; };
    std::tm shown{};
    shown.tm_mday = part(0);
    shown.tm_mon = part(1) - 1;
    shown.tm_year = 100 + part(2);
    shown.tm_hour = part(3);
    shown.tm_min = part(4);
    shown.tm_sec = part(5);
    shown.tm_isdst = -1;
    const std::time_t decoded = std::mktime(&shown);
    EXPECT_GE(decoded, before - 2);
    EXPECT_LE(decoded, after + 2);
    EXPECT_EQ(txLampLit_, 0);
}

TEST_F(LinkWindowTest, ResetReopensThePortBeforeTheCommand)
{
    PtyPair &pty = NewPty();
    MakeForm({pty.slavePath});
    Connect(pty.slavePath);
    events_.clear();

    // Note whether the command was already on the line when the port reopened.
    std::string seenAtOpen = "unchecked";
    TSerialPort &port = form->SerialPort1();
    auto afterOpen = port.OnAfterOpen;
    port.OnAfterOpen = [&](TCustomSerialPort &sender) {
        afterOpen(sender);
        char byte = 0;
        seenAtOpen = read(pty.master, &byte, 1) > 0 ? std::string(1, byte) : std::string();
    };

    Click("BitBtn24");
    const std::vector<std::string> expected = {
        "close Verbindung herstellen",
        "open " + pty.slavePath + " Verbindung beenden",
    };
    EXPECT_EQ(events_, expected);
    EXPECT_EQ(seenAtOpen, "");
    EXPECT_EQ(pty.Receive(Command("B").size()), Command("B"));
    EXPECT_EQ(pty.Receive(1, 150), "");
    ExpectConnected(true);
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_FALSE(MasterHungUp(pty));
    port.OnAfterOpen = afterOpen;
}

TEST_F(LinkWindowTest, ActiveToneTableReplyFillsTheEdits)
{
    PtyPair &pty = NewPty();
    MakeForm({pty.slavePath});
    Connect(pty.slavePath);
    form->AddLogLine("first");
    form->AddLogLine("second");
    Log()->SetItemIndex(0);

    Find<QTabWidget>("PageControl1")->setCurrentIndex(3);
    auto *digit1 = Find<QLineEdit>("Edit3");
    digit1->selectAll();
    QTest::keyClicks(digit1, "777");
    ASSERT_EQ(Edit("Edit3"), "777");

    Click("BitBtn15");
    EXPECT_EQ(Find<QComboBox>("ComboBox3")->currentIndex(), 4);
    EXPECT_EQ(Find<QComboBox>("ComboBox3")->currentText(), "eigene");
    // Choosing "eigene" from code must not empty the fields.
    EXPECT_EQ(Edit("Edit3"), "777");
    EXPECT_EQ(Edit("Edit4"), "1160");
    EXPECT_EQ(Edit("Edit11"), "2600");
    EXPECT_EQ(pty.Receive(Command("GZ").size()), Command("GZ"));
    EXPECT_EQ(pty.Receive(1, 150), "");

    std::string reply = "0\x1e" "C\x1e" "GZ\x1e";
    for (int i = 0; i < 11; ++i)
        reply += std::to_string(1100 + 10 * i) + "\x1e";
    pty.Send(reply + "\n\r");
    ASSERT_TRUE(WaitFor([&] { return Edit("Edit11") == "1200"; }));
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(Edit(ToneEdits[i]), QString::number(1100 + 10 * i)) << ToneEdits[i];
    EXPECT_EQ(Log()->Content().Count(), 2);       // no log line of its own,
    EXPECT_EQ(Log()->ItemIndex(), 1);   // but the last line is selected again
}

TEST_F(LinkWindowTest, TelegramReportsAppearFormattedInTheLog)
{
    PtyPair &pty = NewPty();
    MakeForm({pty.slavePath});
    Connect(pty.slavePath);

    // Two reports in one piece, the second from the control centre with text,
    // then a line the window does not know.
    pty.Send("1\x1eR\x1e" "2\x1e" "12345678\x1e" "3\x1e" "0\x1e" "1\x1e" "1\n\r"
             "1\x1eR\x1e" "2\x1e" "6B7A0312\x1e" "C\x1e" "2\x1e" "0\x1e" "2\x1e" "Sprechwunsch\n\r"
             "hello\r");
    ASSERT_TRUE(WaitFor([&] { return Log()->Content().Count() == 3; }));
    EXPECT_EQ(LogLine(0), "R1: 12345678 S:3 TKI:0 BS:1 FZ->LS ");
    EXPECT_EQ(LogLine(1), "R1: 6B7A0312 S:C TKI:2 BS:0 FZ<-LS T: Sprechwunsch");
    EXPECT_EQ(LogLine(2), "hello");
    EXPECT_EQ(Log()->ItemIndex(), 2);
    EXPECT_EQ(Find<TSignalLed>("SignalLed3")->State(), lsOff);   // the reads emptied the queue
}

TEST_F(LinkWindowTest, ClosingTheWindowReleasesThePort)
{
    PtyPair &closed = NewPty();
    PtyPair &destroyed = NewPty();
    MakeForm({closed.slavePath, destroyed.slavePath});
    Connect(closed.slavePath);
    ASSERT_FALSE(MasterHungUp(closed));
    ASSERT_FALSE(DeviceFree(closed.slavePath));
    // The user closes the window.
    form->close();
    EXPECT_TRUE(WaitFor([&] { return MasterHungUp(closed); }, 2000));
    EXPECT_TRUE(DeviceFree(closed.slavePath));
    EXPECT_EQ(Caption(), "Verbindung herstellen");
    form.reset();

    // Destroyed without a close event first.
    MakeForm({closed.slavePath, destroyed.slavePath});
    Connect(destroyed.slavePath);
    ASSERT_FALSE(DeviceFree(destroyed.slavePath));
    form.reset();
    EXPECT_TRUE(WaitFor([&] { return MasterHungUp(destroyed); }, 2000));
    EXPECT_TRUE(DeviceFree(destroyed.slavePath));
}

namespace {

// The log line the window must make of a telegram the simulator reports as
// "TELEGRAM 1 R 2 <id> <s> <tki> <bs> <dir>[ <text>]".
std::set<std::string> ExpectedTelegramLines(const std::string &simLog)
{
    std::set<std::string> lines;
    std::istringstream in(simLog);
    std::string row;
    const std::string mark = "TELEGRAM 1 R 2 ";
    while (std::getline(in, row)) {
        const size_t at = row.find(mark);
        if (at == std::string::npos)
            continue;
        const std::string f = row.substr(at + mark.size());
        if (f.size() < 16)
            continue;
        std::string line = "R1: " + f.substr(0, 8) + " S:" + f[9] + " TKI:" + f[11] + " BS:" + f[13] + " " +
                           (f[15] == '2' ? "FZ<-LS" : "FZ->LS") + " ";
        if (f.size() > 17)
            line += "T: " + f.substr(17);
        lines.insert(line);
    }
    return lines;
}

} // namespace

TEST_F(LinkWindowTest, PulledDeviceIsWaitedForAndReopenedWhenItReturns)
{
    auto first = std::make_unique<SimProcess>(std::vector<std::string>{"--serial", "S-1"});
    const std::string path = first->Port();
    MakeForm({path});
    Connect(path);
    Click("BitBtn21");
    ASSERT_TRUE(WaitFor([&] { return Static("StaticText8") == "S-1"; }));
    QTest::qWait(300);   // the replies are in
    const int before = Log()->Content().Count();
    first->Stop(); // the adapter is pulled

    ASSERT_TRUE(WaitFor([&] { return Log()->Content().Count() == before + 1; })) << Log()->Content().Count();
    EXPECT_EQ(LogLine(before), "Verbindung zum Gerät unterbrochen.");
    // The lamps show no device; the connection stays the user's.
    EXPECT_EQ(Find<TSignalLed>("SignalLed1")->State(), lsOff);
    EXPECT_EQ(Caption(), "Verbindung beenden");
    Click("BitBtn21");
    EXPECT_EQ(TakeBox(), "Das Gerät " + path +
                             " ist nicht angeschlossen. Die Verbindung wird wiederhergestellt, sobald es zurück ist.");

    // The same device returns: opened again at 9600 by itself, and said so.
    SimProcess second({"--link", path, "--serial", "S-2"});
    ASSERT_TRUE(WaitFor([&] { return Log()->Content().Count() == before + 2; }, 10000)) << Log()->Content().Count();
    EXPECT_EQ(LogLine(before + 1), "Verbindung zu " + path + " wiederhergestellt (9600 Baud).");
    ExpectConnected(true);
    EXPECT_EQ(form->SerialPort1().BaudRate(), br9600);
    Click("BitBtn21");
    EXPECT_TRUE(WaitFor([&] { return Static("StaticText8") == "S-2"; }));

    // The toggle disconnects at any time, also while the device is away.
    QTest::qWait(300);
    second.Stop();
    ASSERT_TRUE(WaitFor([&] { return LogLine(Log()->Content().Count() - 1) == "Verbindung zum Gerät unterbrochen."; }));
    EXPECT_FALSE(form->SerialPort1().Connected());
    Click("BitBtn1");
    ExpectConnected(false);
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(LinkWindowTest, ReopenAttemptsWhileTheDeviceIsAwayAreSilent)
{
    auto first = std::make_unique<SimProcess>(std::vector<std::string>{"--serial", "S-1"});
    const std::string path = first->Port();
    MakeForm({path});
    Connect(path);
    const int away = Log()->Content().Count() + 1;
    first->Stop();
    ASSERT_TRUE(WaitFor([&] { return Log()->Content().Count() == away; }));
    ASSERT_EQ(LogLine(away - 1), "Verbindung zum Gerät unterbrochen.");
    const int before = Log()->Content().Count();

    // The name leads nowhere, then to something that is no terminal (a node
    // not ready yet): each reopen fails, unseen, and is tried again.
    ASSERT_EQ(symlink("/nonexistent/ttyKARVEN", path.c_str()), 0);
    QTest::qWait(1200);
    unlink(path.c_str());
    close(open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    QTest::qWait(1200);
    unlink(path.c_str());
    EXPECT_EQ(Log()->Content().Count(), before);
    EXPECT_TRUE(boxes_.empty());
    EXPECT_EQ(Caption(), "Verbindung beenden");

    SimProcess second({"--link", path, "--serial", "S-2"});
    ASSERT_TRUE(WaitFor([&] { return Log()->Content().Count() == before + 1; }, 10000)) << Log()->Content().Count();
    EXPECT_EQ(LogLine(before), "Verbindung zu " + path + " wiederhergestellt (9600 Baud).");
    // The port box lost the name while it was away; the toggle closes the
    // returned port rather than opening an empty name.
    EXPECT_EQ(PortBox()->Text(), path);
    Click("BitBtn1");
    ExpectConnected(false);
    EXPECT_TRUE(DeviceFree(path));
}

TEST_F(LinkWindowTest, HangUpWhileRepliesArriveIsReportedOnce)
{
    // Telegrams keep coming, so the hang-up meets bytes still being read.
    // The first simulator owns the link's folder: it stays until the end.
    std::vector<std::unique_ptr<SimProcess>> sims;
    sims.push_back(std::make_unique<SimProcess>(std::vector<std::string>{"--telegram-interval", "0.01", "--serial", "S-1"}));
    const std::string path = sims[0]->Port();
    MakeForm({path});
    Connect(path);
    for (const char *serial : {"S-1", "S-2"}) {
        Click("BitBtn21");
        ASSERT_TRUE(WaitFor([&] { return Static("StaticText8") == serial; }));
        const int before = Log()->Content().Count();
        sims.back()->Stop();
        const auto lost = [&] {
            int count = 0;
            for (int i = before; i < Log()->Content().Count(); ++i)
                count += LogLine(i) == "Verbindung zum Gerät unterbrochen.";
            return count;
        };
        ASSERT_TRUE(WaitFor([&] { return lost() > 0; }, 3000)) << "the loss was not reported";
        QTest::qWait(200);
        EXPECT_EQ(lost(), 1);
        EXPECT_FALSE(form->SerialPort1().Connected());
        sims.push_back(std::make_unique<SimProcess>(
            std::vector<std::string>{"--link", path, "--telegram-interval", "0.01", "--serial", "S-2"}));
        ASSERT_TRUE(WaitFor([&] { return form->SerialPort1().Connected(); }, 10000));
    }
}

TEST_F(LinkWindowTest, WorksWithTheDecoderSimulator)
{
    std::unique_ptr<SimProcess> sim;
    try {
        sim = std::make_unique<SimProcess>(std::vector<std::string>{"--telegram-interval", "0.2", "--serial", "S-7788"});
    } catch (const std::exception &e) {
        FAIL() << e.what();
    }
    MakeForm({sim->Port()});
    Connect(sim->Port());
    ExpectConnected(true);

    Click("BitBtn21");
    ASSERT_TRUE(WaitFor([&] {
        return Static("StaticText8") == "S-7788" && Static("StaticText7") == "4.69" && Static("StaticText6") == "C469-2";
    })) << sim->Log();
    EXPECT_EQ(Static("StaticText4"), "4.69");

    auto hasLine = [&](const std::string &text) {
        for (int i = 0; i < Log()->Content().Count(); ++i)
            if (LogLine(i) == text)
                return true;
        return false;
    };
    EXPECT_TRUE(hasLine("Serial number: S-7788"));
    EXPECT_TRUE(hasLine("Firmware version: 4.69"));
    EXPECT_TRUE(hasLine("Hardware revision: C469-2"));
    // It says hello once someone listens.
    EXPECT_TRUE(hasLine("KARVEN-C469 V4.69 ready\n"));

    // Telegrams it reports on its own, formatted as it sent them.
    ASSERT_TRUE(WaitFor([&] { return !TelegramLines().empty(); }));
    // The simulator notes a telegram before it writes it.
    const std::set<std::string> expected = ExpectedTelegramLines(sim->Log());
    for (const std::string &line : TelegramLines())
        EXPECT_EQ(expected.count(line), 1u) << line;

    // The reset reopens the port at the decoder's 9600 8N1: the decoder hears it.
    Click("BitBtn24");
    EXPECT_TRUE(sim->WaitForLog("RESET: bootloader waits", std::chrono::seconds(5))) << sim->Log();

    Click("BitBtn1");
    ExpectConnected(false);
    EXPECT_TRUE(sim->Stop());
}

// The window on a remote port, through each of Debian's device servers in
// front of the simulator's pty.
class RemoteLinkWindowTest : public LinkWindowTest, public ::testing::WithParamInterface<DeviceServer::Kind> {};

TEST_P(RemoteLinkWindowTest, ReadsValuesShowsTelegramsAndReconnectsThroughTheServer)
{
    SimProcess sim({"--telegram-interval", "0.2", "--serial", "S-2217"});
    DeviceServer server(GetParam(), sim.Port());
    MakeForm({server.Url()});
    Connect(server.Url());
    ExpectConnected(true);

    Click("BitBtn21");
    ASSERT_TRUE(WaitFor([&] {
        return Static("StaticText8") == "S-2217" && Static("StaticText7") == "4.69" && Static("StaticText6") == "C469-2";
    })) << sim.Log();
    ASSERT_TRUE(WaitFor([&] { return !TelegramLines().empty(); }));
    const std::set<std::string> expected = ExpectedTelegramLines(sim.Log());
    for (const std::string &line : TelegramLines())
        EXPECT_EQ(expected.count(line), 1u) << line;

    // A server that goes away is a lost device, and the window's reconnect
    // brings it back once the server is there again.
    const int before = Log()->Content().Count();
    server.Stop();
    ASSERT_TRUE(WaitFor([&] {
        for (int i = before; i < Log()->Content().Count(); ++i)
            if (LogLine(i) == "Verbindung zum Gerät unterbrochen.")
                return true;
        return false;
    }, 10000));
    const int away = Log()->Content().Count();
    server.Start();
    ASSERT_TRUE(WaitFor([&] {
        for (int i = away; i < Log()->Content().Count(); ++i)
            if (LogLine(i) == "Verbindung zu " + server.Url() + " wiederhergestellt (9600 Baud).")
                return true;
        return false;
    }, 15000));
    ExpectConnected(true);

    Click("BitBtn1");
    ExpectConnected(false);
}

INSTANTIATE_TEST_SUITE_P(Servers, RemoteLinkWindowTest, ::testing::Values(DeviceServer::Ser2net, DeviceServer::Pyserial),
                         [](const ::testing::TestParamInfo<DeviceServer::Kind> &info) {
                             return std::string(info.param == DeviceServer::Ser2net ? "ser2net" : "pyserial");
                         });
