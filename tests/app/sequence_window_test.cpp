// Sequences started from the window that must not be cut short or fed the
// wrong file: a close while they run, and the firmware image the library
// is handed when the tool runs in another folder than its own.

#include "../link/ptyhelpers.h"
#include "childprocess.h"
#include "errorbox.h"
#include "errorhandler.h"
#include "portcombobox.h"
#include "simprocess.h"
#include "tform1.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace {

std::string Command(const std::string &code) { return "0\x1e" "C\x1e" + code + "\n\r"; }

// Agrees to a firmware update; notes the text of every other message box and closes it.
class BoxWatch {
public:
    BoxWatch()
    {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                if (box->objectName() == QLatin1String("FirmwareConfirmBox")) {
                    box->findChild<QPushButton *>(QStringLiteral("FirmwareConfirmYes"))->click();
                    return;
                }
                texts.push_back(box->text().toStdString());
                box->accept();
            }
        });
        timer_.start();
    }
    std::vector<std::string> texts;

private:
    QTimer timer_;
};

// Runs the rest of a scope in another working folder.
class InFolder {
public:
    explicit InFolder(const std::string &dir)
    {
        if (!::getcwd(previous_, sizeof previous_) || ::chdir(dir.c_str()) != 0)
            ADD_FAILURE() << "cannot change to " << dir;
    }
    ~InFolder()
    {
        if (::chdir(previous_) != 0)
            ADD_FAILURE() << "cannot change back to " << previous_;
    }

private:
    char previous_[4096] = {};
};

// Closes itself as soon as the library reports that it is programming, and
// notes whether it was still on screen when the library let go.
class ClosingForm : public TForm1 {
public:
    void StateChanged() override
    {
        TForm1::StateChanged();
        if (LastSeenState() == kStateWorking && !closeAsked) {
            closeAsked = true;
            close();
        }
        if (closeAsked && LastSeenState() == kStateIdle)
            visibleAtIdle = isVisible();
    }
    bool closeAsked = false;
    bool visibleAtIdle = false;
};

class SequenceWindow : public ::testing::Test {
protected:
    void TearDown() override
    {
        form.reset();
        sim.reset();
        server.reset();
        ::unsetenv("KARVENZOP_PORTS");
        ::unsetenv("KARVENZOP_UPDATE_SERVER");
    }

    void StartServer(const std::string &container)
    {
        root.WriteFile("karvenc469.acy", container);
        server = std::make_unique<ChildProcess>(
            std::vector<std::string>{"python3", KZ_UPDATE_SERVER_SCRIPT, "--port", "0", "--root", root.Path()});
        const int port = PortFromLine(server->WaitForLine("Serving"));
        ASSERT_GT(port, 0);
        ASSERT_TRUE(WaitUntilListening(port));
        ::setenv("KARVENZOP_UPDATE_SERVER", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    }

    template <class Form = TForm1>
    Form &MakeForm(const std::string &port)
    {
        ::setenv("KARVENZOP_PORTS", port.c_str(), 1);
        auto made = std::make_unique<Form>();
        Form &ref = *made;
        form = std::move(made);
        form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        form->findChild<TPortComboBox *>(QStringLiteral("PortComboBox1"))->SetText(port);
        Button("BitBtn1")->click();
        EXPECT_TRUE(form->SerialPort1().Connected());
        return ref;
    }

    QPushButton *Button(const char *name) const { return form->findChild<QPushButton *>(QString::fromLatin1(name)); }

    TempDir root;
    std::unique_ptr<ChildProcess> server;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<TForm1> form;
};

} // namespace

TEST_F(SequenceWindow, FirmwareUpdateWritesTheImageThisRunDownloaded)
{
    const std::string oldImage = PatternBytes(3000);
    const std::string newImage = PatternBytes(5000).substr(7) + "new";
    const std::string oldContainer = MakeFirmwareContainer(oldImage, "4.60");
    const std::string newContainer = MakeFirmwareContainer(newImage, "4.70");
    ASSERT_FALSE(oldContainer.empty());
    ASSERT_FALSE(newContainer.empty());
    // An older image lies beside the program; the tool runs in another folder.
    const std::string besideProgram = BinDirectory() + "firmware.acy";
    WriteFile(besideProgram, oldContainer);
    TempDir work;
    InFolder inWork(work.Path());

    StartServer(newContainer);
    sim = std::make_unique<SimProcess>(std::vector<std::string>{});
    MakeForm(sim->Port());
    BoxWatch boxes;
    Button("BitBtn18")->click();

    EXPECT_TRUE(boxes.texts.empty()) << boxes.texts.front();
    EXPECT_TRUE(ReadFile(work.Path() + "/firmware.acy") == newContainer);
    EXPECT_TRUE(ReadFile(sim->DumpPath()) == newImage) << sim->Log();
    EXPECT_TRUE(ReadFile(besideProgram) == oldContainer);
    std::remove(besideProgram.c_str());
}

TEST_F(SequenceWindow, ClosingWhileASequenceRunsWaitsForItsEnd)
{
    // Read all values: the close comes 60 ms in, between the commands.
    PtyPair pty;
    MakeForm(pty.slavePath);
    {
        BoxWatch boxes;
        QTimer::singleShot(60, form.get(), [this] { form->close(); });
        Button("BitBtn21")->click();
        QTest::qWait(50);
        EXPECT_TRUE(boxes.texts.empty()) << boxes.texts.front();
    }
    std::string expected;
    for (const char *code : {"GS", "GF", "GR", "GT", "GA"})
        expected += Command(code);
    EXPECT_EQ(pty.Receive(expected.size(), 2000), expected);
    // Closed once the sequence was done: the window is gone and the port released.
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->SerialPort1().Connected());
    form.reset();

    // The firmware update is never cut: the window stays until the library
    // has let go, then closes, and the port it reopened is closed again.
    // (Run in the program's folder, where the image is saved and looked for alike.)
    InFolder inBin(BinDirectory());
    const std::string image = PatternBytes(4096);
    StartServer(MakeFirmwareContainer(image, "4.70"));
    sim = std::make_unique<SimProcess>(std::vector<std::string>{});
    ClosingForm &closing = MakeForm<ClosingForm>(sim->Port());
    BoxWatch boxes;
    Button("BitBtn18")->click();
    QTest::qWait(50);
    EXPECT_TRUE(boxes.texts.empty()) << boxes.texts.front();
    EXPECT_TRUE(closing.closeAsked);
    EXPECT_TRUE(closing.visibleAtIdle);
    EXPECT_TRUE(ReadFile(sim->DumpPath()) == image) << sim->Log();
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->SerialPort1().Connected());
    std::remove("firmware.acy");
}

int main(int argc, char **argv)
{
    // Test discovery runs the binary outside ctest's environment too.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ApplyWindowFont();
    InstallDefaultErrorHandler([]() -> QWidget * { return nullptr; });
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
