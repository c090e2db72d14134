// The port-name box of the main window following the serial ports as they
// come and go (socat making and removing virtual ports), remembering the
// last port used, and what the window says when a port may not be opened.

#include "errorbox.h"
#include "errorhandler.h"
#include "exception.h"
#include "formtest.h"
#include "portcombobox.h"
#include "resourcestring.h"
#include "serialport.h"
#include "tform1.h"

#include <QApplication>
#include <QAction>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <csignal>
#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// socat joining two new ptys, reached through links in a folder.
class VirtualPorts {
public:
    VirtualPorts(const std::string &a, const std::string &b)
    {
        pid_ = fork();
        if (pid_ == 0) {
            const std::string left = "pty,raw,echo=0,link=" + a;
            const std::string right = "pty,raw,echo=0,link=" + b;
            execlp("socat", "socat", left.c_str(), right.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~VirtualPorts() { Stop(); }
    void Stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

class PortWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/kzportwinXXXXXX";
        dir_ = mkdtemp(dir);
        setenv("KARVENZOP_PORTS", (dir_ + "/vport0:" + dir_ + "/vport1:" + dir_ + "/later/vport2").c_str(), 1);
        Settings().remove(QStringLiteral("Connection"));
        // Any box is noted and closed, so none can hold the test up.
        boxWatch_.setInterval(10);
        QObject::connect(&boxWatch_, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                boxes_.push_back(box->text().toStdString());
                box->accept();
            }
        });
        boxWatch_.start();
        InstallDefaultErrorHandler([]() -> QWidget * { return nullptr; });
    }
    void TearDown() override
    {
        form.reset();
        ports.reset();
        boxWatch_.stop();
        SetDefaultExceptionHandler(nullptr);
        unsetenv("KARVENZOP_PORTS");
        Settings().remove(QStringLiteral("Connection"));
        std::system(("rm -rf " + dir_).c_str());
        for (const std::string &box : boxes_)
            ADD_FAILURE() << "unexpected message box: " << box;
    }

    static QSettings Settings() { return QSettings(QStringLiteral("KarvenZop"), QStringLiteral("KarvenZop")); }

    void MakeForm()
    {
        form = std::make_unique<TForm1>();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }
    TPortComboBox *Box() const { return form->findChild<TPortComboBox *>(QStringLiteral("PortComboBox1")); }
    bool Listed(const std::string &path) const
    {
        const auto &items = Box()->PortSelect().Items();
        return std::find(items.begin(), items.end(), path) != items.end();
    }
    void Toggle() { QTest::mouseClick(form->findChild<QPushButton *>(QStringLiteral("BitBtn1")), Qt::LeftButton); }

    std::string dir_;
    std::unique_ptr<VirtualPorts> ports;
    std::unique_ptr<TForm1> form;
    QTimer boxWatch_;
    std::vector<std::string> boxes_;
};

} // namespace

TEST_F(PortWindowTest, ListFollowsVirtualPortsAndTheLastPortUsedIsChosenAtTheNextStart)
{
    const std::string port0 = dir_ + "/vport0", port1 = dir_ + "/vport1";
    MakeForm();
    // Nothing remembered: the designed choice, the port component's own name if listed.
    const std::string stored = form->SerialPort1().Port();
    EXPECT_EQ(Box()->Text(), Listed(stored) ? stored : "");
    EXPECT_FALSE(Listed(port0));

    // socat makes two ports: the list shows them without anyone touching it.
    ports = std::make_unique<VirtualPorts>(port0, port1);
    ASSERT_TRUE(WaitFor([&] { return Listed(port0) && Listed(port1); }));
    EXPECT_EQ(Box()->count(), static_cast<int>(Box()->PortSelect().Items().size()));

    // The user connects on one: the choice stays while the list changes.
    Box()->SetText(port1);
    Toggle();
    ASSERT_TRUE(form->SerialPort1().Connected());
    Toggle();
    ASSERT_FALSE(form->SerialPort1().Connected());

    // A port in a folder made after the start is found when the box is opened.
    mkdir((dir_ + "/later").c_str(), 0755);
    std::ofstream(dir_ + "/later/vport2") << "";
    EXPECT_FALSE(Listed(dir_ + "/later/vport2"));
    Box()->showPopup();
    EXPECT_TRUE(Listed(dir_ + "/later/vport2"));
    Box()->hidePopup();
    EXPECT_EQ(Box()->Text(), port1);

    // socat ends: its ports leave the list, and the choice with them.
    ports->Stop();
    unlink((dir_ + "/later/vport2").c_str());
    ASSERT_TRUE(WaitFor([&] { return !Listed(port0) && !Listed(port1); }));
    EXPECT_EQ(Box()->Text(), "");

    // Next start, the ports back: the last port used is chosen.
    ports = std::make_unique<VirtualPorts>(port0, port1);
    ASSERT_TRUE(WaitFor([&] { return Listed(port0) && Listed(port1); }));
    form.reset();
    MakeForm();
    EXPECT_EQ(Box()->Text(), port1);
    EXPECT_EQ(Settings().value(QStringLiteral("Connection/LastPort")).toString().toStdString(), port1);
}

TEST_F(PortWindowTest, RemotePortsNamedInTheDialogAreListedAndTheLastUsedIsChosen)
{
    Settings().remove(QStringLiteral("RemotePorts"));
    MakeForm();
    // None added: the box lists what it always did.
    const std::vector<std::string> local = Box()->PortSelect().Items();
    for (const std::string &item : local)
        EXPECT_EQ(item.find("rfc2217"), std::string::npos) << item;
    auto *action = Box()->findChild<QAction *>(QStringLiteral("RemotePortsAction"));
    ASSERT_NE(action, nullptr);
    EXPECT_TRUE(Box()->actions().contains(action));
    EXPECT_EQ(action->text(), QStringLiteral("Ferngeräte…"));

    // Fills the dialog with `text` and presses OK.
    const auto edit = [&](const std::string &text) {
        bool filled = false;
        QTimer fill;
        fill.setInterval(10);
        QObject::connect(&fill, &QTimer::timeout, [&] {
            QWidget *dialog = QApplication::activeModalWidget();
            if (filled || !dialog || dialog->objectName() != QStringLiteral("RemotePortsDialog"))
                return;
            filled = true;
            dialog->findChild<QPlainTextEdit *>(QStringLiteral("RemotePortsEdit"))
                ->setPlainText(QString::fromStdString(text));
            dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
        });
        fill.start();
        action->trigger();
        return filled;
    };
    const std::string plain = "rfc2217://127.0.0.1:4001", secure = "rfc2217+tls://site7.example:4002";
    // Nothing chosen yet: the first port added is chosen, so "connect" next
    // does not end in "no port chosen".
    Box()->SetItemIndex(-1);
    ASSERT_TRUE(edit(plain + "\n  \n" + secure + "\n" + plain));
    EXPECT_EQ(Settings().value(QStringLiteral("RemotePorts")).toStringList(),
              QStringList({QString::fromStdString(plain), QString::fromStdString(secure)}));
    EXPECT_TRUE(Listed(plain));
    EXPECT_TRUE(Listed(secure));
    EXPECT_EQ(Box()->PortSelect().Items().size(), local.size() + 2);
    EXPECT_EQ(Box()->Text(), plain);
    // A port the user chose stays chosen when more are added.
    const std::string third = "rfc2217://10.0.0.9:4003";
    ASSERT_TRUE(edit(plain + "\n" + secure + "\n" + third));
    EXPECT_TRUE(Listed(third));
    EXPECT_EQ(Box()->Text(), plain);

    // The remote port last opened is chosen at the next start, like a local one.
    Settings().setValue(QStringLiteral("Connection/LastPort"), QString::fromStdString(secure));
    form.reset();
    MakeForm();
    EXPECT_EQ(Box()->Text(), secure);
    Settings().remove(QStringLiteral("RemotePorts"));
}

// An ordinary user without the right to the device: the designed message,
// and in the details the system's words and the remedy, in German with the
// German catalogue.
TEST(PortPermission, DetailsNameTheReasonAndTheRemedy)
{
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    ASSERT_EQ(chmod(name, 0600), 0); // root's only
    struct stat st {};
    ASSERT_EQ(stat(name, &st), 0);
    const group *owner = getgrgid(st.st_gid); // "tty" where devpts gives ptys that group
    ASSERT_NE(owner, nullptr);
    const std::string group = owner->gr_name;

    // The other user may not enter the checkout (one under /root): the
    // catalogue goes with a stand-in program path into a folder it can read.
    namespace fs = std::filesystem;
    char folder[] = "/tmp/kz-perm-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    ASSERT_EQ(chmod(folder, 0755), 0);
    const fs::path catalogue = fs::path(ResolvedProgramPath()).parent_path() / "locale/de/LC_MESSAGES/default.mo";
    fs::create_directories(fs::path(folder) / "locale/de/LC_MESSAGES");
    fs::copy_file(catalogue, fs::path(folder) / "locale/de/LC_MESSAGES/default.mo");
    for (const fs::path &made : {fs::path(folder) / "locale", fs::path(folder) / "locale/de",
                                 fs::path(folder) / "locale/de/LC_MESSAGES"})
        fs::permissions(made, fs::perms(0755));
    const std::string program = std::string(folder) + "/program";

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    if (child == 0) {
        std::string out;
        for (const bool german : {false, true}) {
            if (german) {
                setenv("LANG", "de_DE.UTF-8", 1);
                InitializeTranslation(program);
            }
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(126);
            TSerialPort port;
            port.SetPort(name);
            try {
                port.OpenPort();
                out += "opened\n";
            } catch (...) {
                const std::exception_ptr error = std::current_exception();
                out += ErrorBoxText(error).toStdString() + "\n" + ErrorBoxInformative(error).toStdString() + "\n";
            }
            out += std::string(std::strerror(EACCES)) + "\n";
        }
        [[maybe_unused]] ssize_t n = write(pipeFds[1], out.data(), out.size());
        _exit(0);
    }
    close(pipeFds[1]);
    std::string got;
    char buffer[512];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        got.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    close(master);
    fs::remove_all(folder);

    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = got.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(got.substr(at, nl - at));
    ASSERT_EQ(lines.size(), 6u) << got;
    EXPECT_EQ(lines[0], "Unable to open com port (win error code: 13)");
    EXPECT_EQ(lines[1], std::string(name) + ": " + lines[2] + " \u2014 add your user to the group \"" + group +
                            "\", then log in again");
    EXPECT_EQ(lines[3], "COM-Port kann nicht geöffnet werden (Fehlercode: 13)");
    EXPECT_EQ(lines[4], std::string(name) + ": " + lines[5] + " \u2014 nehmen Sie Ihren Benutzer in die Gruppe \"" +
                            group + "\" auf und melden Sie sich neu an");
}
