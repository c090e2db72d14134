// The update page and the firmware update, driven through the main window
// against real peers: the update server script on 127.0.0.1, the decoder
// simulator on a pty and the bootloader library loaded from the bin folder.

#include "childprocess.h"
#include "errorbox.h"
#include "errorhandler.h"
#include "eventlog.h"
#include "eventlogexport.h"
#include "portcombobox.h"
#include "scriptedserver.h"
#include "nginxserver.h"
#include "simprocess.h"
#include "tampering.h"
#include "tform1.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr int LongWaitMs = 60000;

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 random(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(random() & 0xFF);
    return s;
}

// A container made by the release tool, as the server would offer it.
std::string MakeContainer(const std::string &image, const std::string &version)
{
    TempDir dir;
    const std::string in = dir.Path() + "/image.bin";
    const std::string out = dir.Path() + "/out.acy";
    WriteFile(in, image);
    const std::string command = BinDirectory() + "mkfirmware --target KARVEN-C469 --version " + version + " '" + in +
                                "' '" + out + "' > /dev/null";
    if (std::system(command.c_str()) != 0)
        return {};
    return ReadFile(out);
}

std::vector<std::string> LogLines(TForm1 &form)
{
    std::vector<std::string> lines;
    for (int i = 0; i < form.EventLog()->Content().Count(); ++i)
        lines.emplace_back(form.EventLog()->Content().Line(i));
    return lines;
}

// The decoder greets the reopened port once its new firmware runs; on a busy
// machine the greeting is logged before the test looks.
std::vector<std::string> WithoutGreeting(std::vector<std::string> log)
{
    while (!log.empty() && log.back().ends_with(" ready\n"))
        log.pop_back();
    return log;
}

bool Contains(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string Joined(const std::vector<std::string> &lines)
{
    std::string all;
    for (const std::string &line : lines)
        all += line + "\n";
    return all;
}

// What the window showed at one moment.
struct Snapshot {
    int state = 0;
    std::vector<std::string> log;
    bool loadButton = false;   // its own setting, whatever its page's
    QString status;
    bool connectReachable = false;
};

// Records the window at every state report the library makes.
class RecordingForm : public TForm1 {
public:
    void StateChanged() override
    {
        TForm1::StateChanged();
        snapshots.push_back({LastSeenState(), LogLines(*this),
                             !findChild<QPushButton *>(QStringLiteral("BitBtn11"))->testAttribute(Qt::WA_ForceDisabled),
                             findChild<QLabel *>(QStringLiteral("StaticText1"))->text(),
                             findChild<QPushButton *>(QStringLiteral("BitBtn1"))->isEnabled()});
        if (onState)
            onState(LastSeenState());
    }
    std::vector<Snapshot> snapshots;
    std::function<void(int)> onState;
};

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::TextFormat format = Qt::AutoText;
    QString statusAtBox;
    int barAtBox = -1;
    QString informative;
};

// Closes every message box that opens while it exists and notes what it
// said, together with the progress display at that moment. An input box is
// answered with `answer`, or cancelled when it is empty. The confirmation
// before flashing (and the questions about an unsigned download or a
// downgrade) is answered with `flash` and noted apart.
class ModalWatcher {
public:
    ModalWatcher(TForm1 &form, QString answer = {}, bool flash = true)
        : form_(form), answer_(std::move(answer)), flash_(flash)
    {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }
    std::vector<SeenBox> boxes;
    int inputBoxes = 0;
    QString inputTitle, inputLabel;
    std::vector<QString> confirmations;
    std::vector<QString> questionDefaults;
    bool downgradeYes = true;   // the second question before a downgrade

private:
    void Poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        auto *box = qobject_cast<QMessageBox *>(modal);
        const QString question = box ? box->objectName() : QString();
        if (question == "FirmwareConfirmBox" || question == "FirmwareDowngradeBox" || question == "ToolUnsignedBox") {
            confirmations.push_back(box->text());
            questionDefaults.push_back(box->defaultButton() ? box->defaultButton()->text() : QString());
            const bool yes = question == "FirmwareDowngradeBox" ? downgradeYes : flash_;
            box->findChild<QPushButton *>(question.chopped(3) + (yes ? "Yes" : "No"))->click();
        } else if (box) {
            boxes.push_back({box->windowTitle(), box->text(), box->icon(), box->textFormat(),
                             form_.findChild<QLabel *>(QStringLiteral("StaticText1"))->text(),
                             form_.findChild<QProgressBar *>(QStringLiteral("ProgressBar1"))->value(),
                             box->informativeText()});
            box->accept();
        } else if (auto *input = qobject_cast<QInputDialog *>(modal)) {
            ++inputBoxes;
            inputTitle = input->windowTitle();
            inputLabel = input->labelText();
            if (answer_.isEmpty()) {
                input->reject();
            } else {
                input->setTextValue(answer_);
                input->accept();
            }
        }
    }
    TForm1 &form_;
    QString answer_;
    bool flash_;
    QTimer timer_;
};

struct Progress {
    QString status;
    int value;
    int maximum;
};

class UpdateFlashWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveOutputs();
        root_.WriteFile("karvenzop.txt", "1.0.3\r\n");
        root_.WriteFile("karvenfir.txt", "4.70");
    }

    void TearDown() override
    {
        form.reset();
        sim.reset();
        server_.reset();
        RemoveOutputs();
        ::unsetenv("KARVENZOP_PORTS");
        ::unsetenv("KARVENZOP_UPDATE_SERVER");
    }

    static void RemoveOutputs()
    {
        std::remove("ZOP-Update.exe");
        std::remove("firmware.acy");
    }

    void StartServer(const std::string &root = {})
    {
        server_ = std::make_unique<ChildProcess>(std::vector<std::string>{
            "python3", KZ_UPDATE_SERVER_SCRIPT, "--port", "0", "--root", root.empty() ? root_.Path() : root});
        serverPort_ = PortFromLine(server_->WaitForLine("Serving"));
        ASSERT_GT(serverPort_, 0);
        ASSERT_TRUE(WaitUntilListening(serverPort_));
        PointAt(serverPort_);
    }
    void StopServer() { server_.reset(); }

    static void PointAt(int port)
    {
        ::setenv("KARVENZOP_UPDATE_SERVER", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    }

    void StartSim(const std::vector<std::string> &args = {})
    {
        sim = std::make_unique<SimProcess>(args);
        ::setenv("KARVENZOP_PORTS", sim->Port().c_str(), 1);
    }

    void MakeForm()
    {
        form = std::make_unique<RecordingForm>();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        ASSERT_EQ(form->BootloaderProblem(), "");
    }

    // Connects to the simulator as the user would; optionally disconnects
    // again, so the port component keeps the name but the port is closed.
    void ConnectToSim(bool leaveOpen)
    {
        form->findChild<TPortComboBox *>(QStringLiteral("PortComboBox1"))->SetText(sim->Port());
        Button("BitBtn1")->click();
        ASSERT_TRUE(form->SerialPort1().Connected());
        if (!leaveOpen) {
            Button("BitBtn1")->click();
            ASSERT_FALSE(form->SerialPort1().Connected());
        }
    }

    void ServeFirmware(const std::string &container) { root_.WriteFile("karvenc469.acy", container); }

    QPushButton *Button(const char *name) const { return form->findChild<QPushButton *>(QString::fromLatin1(name)); }
    QString Label(const char *name) const { return form->findChild<QLabel *>(QString::fromLatin1(name))->text(); }
    QProgressBar *Bar() const { return form->findChild<QProgressBar *>(QStringLiteral("ProgressBar1")); }

    // Notes the progress display after each work event, behind the window's own handlers.
    void RecordProgress()
    {
        THttpClient &client = form->HttpClient1();
        auto note = [this] { progress.push_back({Label("StaticText1"), Bar()->value(), Bar()->maximum()}); };
        auto begin = client.OnWorkBegin;
        auto work = client.OnWork;
        auto end = client.OnWorkEnd;
        client.OnWorkBegin = [begin, note](THttpClient *c, TWorkMode m, int32_t max) { begin(c, m, max); note(); };
        client.OnWork = [work, note](THttpClient *c, TWorkMode m, int32_t n) { work(c, m, n); note(); };
        client.OnWorkEnd = [end, note](THttpClient *c, TWorkMode m) { end(c, m); note(); };
    }

    // A firmware run from the button, with boxes closed and noted.
    std::vector<SeenBox> RunFirmwareUpdate()
    {
        ModalWatcher watcher(*form);
        Button("BitBtn18")->click();
        return watcher.boxes;
    }

    bool PortOpenAt9600() const { return form->SerialPort1().Connected() && form->SerialPort1().BaudRate() == br9600; }

    TempDir root_;
    std::unique_ptr<ChildProcess> server_;
    int serverPort_ = 0;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<RecordingForm> form;
    std::vector<Progress> progress;
};

const char *const ApplicationCaption = "app_update_flash_tests";

} // namespace

// ---- Version queries and the tool download

TEST_F(UpdateFlashWindow, VersionQueriesShowTheBodyUnchanged)
{
    StartServer();
    MakeForm();
    RecordProgress();

    Button("BitBtn17")->click();
    Button("BitBtn20")->click();
    EXPECT_EQ(Label("StaticText2"), "1.0.3\r\n");
    EXPECT_EQ(Label("StaticText3"), "4.70");
    EXPECT_EQ(Label("StaticText5"), "1.0.2");
    EXPECT_EQ(form->EventLog()->Content().Count(), 0);
    // Each query drives the progress display: begin with its size, end at "Ready..." and 0.
    ASSERT_GE(progress.size(), 4u);
    EXPECT_EQ(progress.front().status, "Transfering: 7");
    EXPECT_EQ(progress.front().maximum, 7);
    EXPECT_EQ(progress.back().status, "Ready...");
    EXPECT_EQ(progress.back().value, 0);
    EXPECT_EQ(progress.back().maximum, 4);

    // An empty reply empties the field; its work-begin (size 0) leaves the status line alone.
    root_.WriteFile("karvenfir.txt", "");
    progress.clear();
    Button("BitBtn20")->click();
    EXPECT_EQ(Label("StaticText3"), "");
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(progress.front().status, "Ready...");
    EXPECT_EQ(progress.back().status, "Ready...");
}

TEST_F(UpdateFlashWindow, VersionThatLooksLikeMarkupIsShownAsText)
{
    root_.WriteFile("karvenfir.txt", "<h1>4.70</h1><img src=x>");
    StartServer();
    MakeForm();
    Button("BitBtn20")->click();
    auto *field = form->findChild<QLabel *>(QStringLiteral("StaticText3"));
    EXPECT_EQ(field->textFormat(), Qt::PlainText);
    EXPECT_EQ(field->text(), "<h1>4.70</h1><img src=x>");

    // A server's status text reaches the error box as it was sent.
    ScriptedServer server({[&](ScriptedPeer &peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.1 404 <h1>Update server hacked</h1>\r\nContent-Length: 0\r\n\r\n");
        peer.Close();
    }});
    PointAt(server.Port());
    ModalWatcher watcher(*form);
    Button("BitBtn17")->click();
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].format, Qt::PlainText);
    EXPECT_NE(watcher.boxes[0].text.indexOf("404 <h1>Update server hacked</h1>"), -1)
        << watcher.boxes[0].text.toStdString();
}

TEST_F(UpdateFlashWindow, DownloadSavesTheToolAndAsksForTheRename)
{
    const std::string first = RandomBytes(300000, 1);
    root_.WriteFile("ZOP-Update.exe", first);
    StartServer();
    MakeForm();
    RecordProgress();

    {
        ModalWatcher watcher(*form);
        Button("BitBtn19")->click();
        ASSERT_EQ(watcher.boxes.size(), 1u);
        EXPECT_EQ(watcher.boxes[0].text, "Bitte ZOP beenden und Datei ZOP-Update.exe im ZOP-Verzeichnis umbenennen!");
        EXPECT_EQ(watcher.boxes[0].title, ApplicationCaption);
        EXPECT_EQ(watcher.boxes[0].informative, "Gespeichert als " + QDir::currentPath() + "/ZOP-Update.exe.");
        // Without a signature on the server the user is asked first.
        ASSERT_EQ(watcher.confirmations.size(), 1u);
        EXPECT_EQ(watcher.questionDefaults[0], "Abbrechen");
    }
    EXPECT_TRUE(ReadFile("ZOP-Update.exe") == first);
    EXPECT_EQ(LogLines(*form).back(), "ZOP-Update.exe gespeichert, nicht signiert und nicht geprüft.");

    // The signature's 404 came first; the display ends with the resource's span.
    const auto resourceSpan = std::find_if(progress.begin(), progress.end(),
                                           [](const Progress &p) { return p.status == "Transfering: 300000"; });
    progress.erase(progress.begin(), resourceSpan);

    // Announced size: "Transfering: M", then "N bytes of M bytes." with the bar on N, then "Ready..." and 0.
    ASSERT_GE(progress.size(), 3u);
    EXPECT_EQ(progress.front().status, "Transfering: 300000");
    EXPECT_EQ(progress.front().value, 0);
    int last = 0;
    for (size_t i = 1; i + 1 < progress.size(); ++i) {
        const Progress &p = progress[i];
        EXPECT_EQ(p.status, QStringLiteral("%1 bytes of 300000 bytes.").arg(p.value));
        EXPECT_GT(p.value, last);
        last = p.value;
    }
    // Bytes that came with the header block are not counted: at most one piece.
    EXPECT_LE(last, 300000);
    EXPECT_GE(last, 300000 - static_cast<int>(THttpClient::kPieceSize));
    EXPECT_EQ(progress.back().status, "Ready...");
    EXPECT_EQ(progress.back().value, 0);
    EXPECT_EQ(progress.back().maximum, 300000);

    // A second press overwrites the file with the new download, even a shorter one.
    const std::string second = RandomBytes(1000, 2);
    root_.WriteFile("ZOP-Update.exe", second);
    {
        ModalWatcher watcher(*form);
        Button("BitBtn19")->click();
        EXPECT_EQ(watcher.boxes.size(), 1u);
    }
    EXPECT_TRUE(ReadFile("ZOP-Update.exe") == second);

    // A file the server does not have: the error, no rename message, the file untouched.
    std::remove((root_.Path() + "/ZOP-Update.exe").c_str());
    {
        ModalWatcher watcher(*form);
        Button("BitBtn19")->click();
        ASSERT_EQ(watcher.boxes.size(), 1u);
        EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::Critical);
        EXPECT_NE(watcher.boxes[0].text.indexOf("404"), -1) << watcher.boxes[0].text.toStdString();
    }
    EXPECT_TRUE(ReadFile("ZOP-Update.exe") == second);
}

TEST_F(UpdateFlashWindow, BrokenTransfersEndTheirWorkBeforeTheErrorShows)
{
    MakeForm();
    RecordProgress();
    WriteFile("ZOP-Update.exe", "earlier download");

    const std::string body = RandomBytes(100000, 3);
    ScriptedServer server({
        // No signature; the tool download breaks off after 40000 of 100000 bytes.
        [&](ScriptedPeer &peer) {
            peer.ReadRequest();
            peer.Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
            peer.ReadRequest();
            peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + body.substr(0, 40000));
            peer.Close();
        },
        // A version reply of unknown size, ended by closing the connection.
        [&](ScriptedPeer &peer) {
            peer.ReadRequest();
            peer.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
            peer.Send(std::string(4000, '7'));
            peer.Close();
        },
        // A version reply far beyond what a version text can be.
        [&](ScriptedPeer &peer) {
            peer.ReadRequest();
            peer.Send("HTTP/1.1 200 OK\r\nContent-Length: 10737418240\r\n\r\n");
            peer.WaitForClientClose();
        },
    });
    PointAt(server.Port());

    {
        ModalWatcher watcher(*form);
        Button("BitBtn19")->click();
        ASSERT_EQ(watcher.boxes.size(), 1u);
        EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::Critical);
        EXPECT_EQ(watcher.boxes[0].title, ApplicationCaption);
        EXPECT_EQ(watcher.boxes[0].statusAtBox, "Ready...");
        EXPECT_EQ(watcher.boxes[0].barAtBox, 0);
    }
    EXPECT_EQ(ReadFile("ZOP-Update.exe"), "earlier download");
    EXPECT_TRUE(std::any_of(progress.begin(), progress.end(),
                            [](const Progress &p) { return p.status == "Transfering: 100000"; }));

    // Unknown size: the status line stays at work-begin, counts " bytes." and the bar never moves.
    progress.clear();
    {
        ModalWatcher watcher(*form);
        Button("BitBtn17")->click();
        EXPECT_TRUE(watcher.boxes.empty());
    }
    EXPECT_EQ(Label("StaticText2").size(), 4000);
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(progress.front().status, "Ready...");
    for (size_t i = 1; i + 1 < progress.size(); ++i) {
        EXPECT_TRUE(progress[i].status.endsWith(" bytes.")) << progress[i].status.toStdString();
        EXPECT_FALSE(progress[i].status.contains(" of "));
        EXPECT_EQ(progress[i].value, 0);
    }
    const int counted = progress[progress.size() - 2].status.section(' ', 0, 0).toInt();
    EXPECT_LE(counted, 4000);
    EXPECT_GE(counted, 4000 - static_cast<int>(THttpClient::kPieceSize));
    EXPECT_EQ(progress.back().status, "Ready...");

    {
        ModalWatcher watcher(*form);
        Button("BitBtn20")->click();
        ASSERT_EQ(watcher.boxes.size(), 1u);
        EXPECT_EQ(watcher.boxes[0].text, "Reply body larger than 4096 bytes.");
    }
    EXPECT_EQ(Label("StaticText3"), "not read");
}

TEST_F(UpdateFlashWindow, StoppedServerShowsTheSocketErrorAndKeepsTheText)
{
    StartServer();
    MakeForm();
    Button("BitBtn17")->click();
    ASSERT_EQ(Label("StaticText2"), "1.0.3\r\n");
    StopServer();
    const int unused = UnusedLoopbackPort();
    PointAt(unused);

    ModalWatcher watcher(*form);
    Button("BitBtn17")->click();
    Button("BitBtn19")->click();
    ASSERT_EQ(watcher.boxes.size(), 2u);
    for (const SeenBox &box : watcher.boxes) {
        EXPECT_EQ(box.text, "Socket Error # 10061\r\nConnection refused.");
        EXPECT_EQ(box.title, ApplicationCaption);
        EXPECT_EQ(box.icon, QMessageBox::Critical);
    }
    // Under the message, the address that was tried.
    const QString server = QStringLiteral("Server: http://127.0.0.1:%1").arg(unused);
    EXPECT_EQ(watcher.boxes[0].informative, server + "/firmware.php?id=karvenzop");
    // The signature is asked for first.
    EXPECT_EQ(watcher.boxes[1].informative, server + "/ZOP-Update.exe.minisig");
    EXPECT_EQ(Label("StaticText2"), "1.0.3\r\n");
    EXPECT_FALSE(FileExists("ZOP-Update.exe"));
}

TEST_F(UpdateFlashWindow, ServerNamedInTheWindowIsAskedAndKept)
{
    StartServer();
    const QString address = QString::fromLocal8Bit(std::getenv("KARVENZOP_UPDATE_SERVER"));
    ::unsetenv("KARVENZOP_UPDATE_SERVER");
    QSettings(QStringLiteral("KarvenZop"), QStringLiteral("KarvenZop")).remove(QStringLiteral("UpdateServer"));
    MakeForm();
    // On the status line's and the update buttons' context menus.
    auto *action = form->findChild<QAction *>(QStringLiteral("UpdateServerAction"));
    ASSERT_NE(action, nullptr);
    for (QWidget *widget : {static_cast<QWidget *>(form->findChild<QLabel *>(QStringLiteral("StaticText1"))),
                            static_cast<QWidget *>(Button("BitBtn17")), static_cast<QWidget *>(Button("BitBtn20"))})
        EXPECT_TRUE(widget->actions().contains(action)) << widget->objectName().toStdString();
    {
        ModalWatcher watcher(*form, address);
        action->trigger();
        EXPECT_EQ(watcher.inputBoxes, 1);
    }
    QSettings settings(QStringLiteral("KarvenZop"), QStringLiteral("KarvenZop"));
    EXPECT_EQ(settings.value(QStringLiteral("UpdateServer")).toString(), address);
    Button("BitBtn17")->click();
    EXPECT_EQ(Label("StaticText2"), "1.0.3\r\n");
    settings.remove(QStringLiteral("UpdateServer"));
}

// ---- Firmware update

TEST_F(UpdateFlashWindow, FirmwareReachesTheDecoderAndTheWindowReportsIt)
{
    const std::string image = RandomBytes(9000, 4);
    const std::string container = MakeContainer(image, "4.70");
    ASSERT_FALSE(container.empty());
    root_.WriteFile("karvenc469.acy", container);
    StartServer();
    StartSim();
    MakeForm();
    ConnectToSim(true);
    Button("BitBtn21")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Label("StaticText7") == "4.69"; }, LongWaitMs)) << sim->Log();
    form->AddLogLine("before the update");
    // Someone who can write the saved file rewrites it once it is saved: the
    // decoder still gets the bytes that were checked.
    const std::string planted = MakeContainer(RandomBytes(9000, 5), "6.66");
    form->onState = [&](int state) {
        if (state == 2 && ReadFile("firmware.acy") == container)
            std::ofstream("firmware.acy", std::ios::binary | std::ios::trunc) << planted;
    };
    // The bar follows the library's progress in percent while it writes.
    std::vector<int> percents;
    QObject::connect(Bar(), &QProgressBar::valueChanged, [&](int value) {
        if (Bar()->maximum() == 100 && value > 0)
            percents.push_back(value);
    });

    const auto boxes = RunFirmwareUpdate();
    EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes[0].text.toStdString());
    EXPECT_TRUE(ReadFile(sim->DumpPath()) == image) << sim->Log();
    EXPECT_TRUE(ReadFile("firmware.acy") == planted);
    EXPECT_EQ(Label("StaticText1"), "Firmware OK.");
    ASSERT_GE(percents.size(), 2u);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(percents.back(), 100);
    EXPECT_EQ(Bar()->value(), 0);   // at rest once the run is over, as after a transfer
    EXPECT_TRUE(PortOpenAt9600());
    EXPECT_EQ(Button("BitBtn1")->text(), "Verbindung beenden");
    EXPECT_TRUE(Button("BitBtn11")->isEnabled());

    // The log was cleared for the report, which opens it; the run ends with "Firmware OK", selected.
    const std::vector<std::string> log = WithoutGreeting(LogLines(*form));
    ASSERT_GE(log.size(), 5u) << Joined(log);
    EXPECT_EQ(log[0], "Connection                     : 2-Wire");
    EXPECT_EQ(log[1], "FLASH data must be encrypted   :     No");
    EXPECT_EQ(log[2], "EEPROM data must be encrypted  :     No");
    EXPECT_EQ(log[3], "Info                           : KARVEN radio-status decoder");
    EXPECT_EQ(log.back(), "Firmware OK");
    EXPECT_FALSE(Contains(log, "before the update"));
    EXPECT_EQ(form->EventLog()->ItemIndex(), static_cast<int>(LogLines(*form).size()) - 1);

    // Reports: into 2 clears and writes; 2→3 and 3→2 keep the log; 3 disables "Konfiguration laden".
    std::vector<int> states;
    for (const Snapshot &s : form->snapshots)
        states.push_back(s.state);
    ASSERT_EQ(states, (std::vector<int>{1, 2, 3, 2, 0}));
    const auto &snaps = form->snapshots;
    EXPECT_TRUE(Contains(snaps[0].log, "before the update"));
    EXPECT_EQ(snaps[1].log, std::vector<std::string>(log.begin(), log.begin() + 4));
    EXPECT_EQ(std::vector<std::string>(snaps[2].log.begin(), snaps[2].log.begin() + 4), snaps[1].log);
    EXPECT_FALSE(snaps[2].loadButton);
    EXPECT_EQ(snaps[2].status, "Working..");
    EXPECT_TRUE(snaps[3].loadButton);
    EXPECT_EQ(std::vector<std::string>(snaps[3].log.begin(), snaps[3].log.begin() + 4), snaps[1].log);
    EXPECT_GT(snaps[3].log.size(), snaps[2].log.size());   // progress lines in between
    EXPECT_EQ(form->LastSeenState(), 0);

    // While the library worked nothing could open the port, start a transfer
    // or raise a box; afterwards all is back. The version read before the
    // update is no longer shown as the decoder's.
    for (const Snapshot &s : snaps)
        EXPECT_FALSE(s.connectReachable) << s.state;
    EXPECT_TRUE(Button("BitBtn1")->isEnabled());
    EXPECT_EQ(Label("StaticText7"), "not read");
    EXPECT_EQ(Label("StaticText4"), "not read");

    // The decoder now runs the new firmware and says so.
    Button("BitBtn21")->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return Label("StaticText7") == "4.70"; }, LongWaitMs)) << sim->Log();
    EXPECT_EQ(Label("StaticText4"), "4.70");
    // Every byte went out at the settings the decoder or its bootloader listens at.
    EXPECT_EQ(sim->Log().find("arrive garbled"), std::string::npos) << sim->Log();
}

TEST_F(UpdateFlashWindow, TamperedDownloadsAreRefusedAndASignedOneNamesItsSigner)
{
    const std::string image = RandomBytes(4096, 9);
    SignedUpdates updates(image);
    ASSERT_TRUE(updates.Made());
    StartServer(updates.Content());
    StartSim();
    MakeForm();
    ConnectToSim(true);
    Button("BitBtn21")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Label("StaticText7") == "4.69"; }, LongWaitMs)) << sim->Log();

    for (const TamperCase &tamper : updates.Cases()) {
        SCOPED_TRACE(tamper.name);
        TamperProxy proxy(serverPort_, tamper.proxyArgs);
        ASSERT_GT(proxy.Port(), 0);
        PointAt(proxy.Port());
        const size_t logBefore = LogLines(*form).size();
        // "Abbrechen", except the first of a downgrade's two questions.
        ModalWatcher watcher(*form, {}, tamper.downgrade);
        watcher.downgradeYes = false;
        Button("BitBtn18")->click();
        // The decoder's own lines may arrive meanwhile; ours is one line.
        const std::vector<std::string> log = LogLines(*form);
        const std::vector<std::string> added(log.begin() + static_cast<long>(logBefore), log.end());
        const std::string ours = tamper.refusal.empty() ? "Firmware-Update abgebrochen, Dekoder und Dateien unverändert."
                                                        : tamper.refusal;
        EXPECT_EQ(std::count(added.begin(), added.end(), ours), 1) << Joined(added);
        if (!tamper.refusal.empty()) {
            ASSERT_EQ(watcher.boxes.size(), 1u);
            EXPECT_TRUE(watcher.boxes[0].text.startsWith(QString::fromStdString(tamper.refusal)))
                << watcher.boxes[0].text.toStdString();
            EXPECT_EQ(watcher.boxes[0].informative.toStdString(), tamper.informative);
            EXPECT_TRUE(watcher.confirmations.empty());
            continue;
        }
        // Asked, "Abbrechen" the default; a downgrade needs a second yes.
        ASSERT_EQ(watcher.confirmations.size(), tamper.downgrade ? 2u : 1u);
        EXPECT_EQ(watcher.questionDefaults, std::vector<QString>(watcher.confirmations.size(), "Abbrechen"));
        EXPECT_TRUE(watcher.confirmations[0].contains(
            tamper.unsigned_ ? "ACHTUNG: Die Firmware-Datei ist nicht signiert"
                             : "ACHTUNG: Version 4.60 ist älter als die des Dekoders (4.69): ein Downgrade."))
            << watcher.confirmations[0].toStdString();
        EXPECT_TRUE(watcher.confirmations[0].contains("Gespeichert wird sie als " + QDir::currentPath() + "/firmware.acy."))
            << watcher.confirmations[0].toStdString();
    }

    // The tool: a script in its place is refused, nothing saved.
    TempDir script;
    script.WriteFile("ZOP-Update.exe", "#!/bin/sh\nrm -rf ~\n");
    {
        TamperProxy proxy(serverPort_, {"--replace", script.Path()});
        PointAt(proxy.Port());
        ModalWatcher watcher(*form);
        Button("BitBtn19")->click();
        ASSERT_EQ(watcher.boxes.size(), 1u);
        EXPECT_TRUE(watcher.boxes[0].text.startsWith("The signature of ZOP-Update.exe does not match its content"));
        EXPECT_EQ(LogLines(*form).back(), "The signature of ZOP-Update.exe does not match its content");
    }
    // (g) A certificate for another host.
    TestCa ca(script.Path(), "test-ca");
    Nginx nginx(script, {ca.Issue("other", "DNS:other.example")});
    ASSERT_TRUE(ca.Made() && nginx.Started());
    ::setenv("SSL_CERT_FILE", ca.CaFile().c_str(), 1);
    ::setenv("KARVENZOP_UPDATE_SERVER", nginx.Url("").c_str(), 1);
    {
        ModalWatcher watcher(*form);
        Button("BitBtn18")->click();
        Button("BitBtn19")->click();
        ASSERT_EQ(watcher.boxes.size(), 2u);
        for (const SeenBox &box : watcher.boxes)
            EXPECT_EQ(box.text, "The server's certificate is not for 127.0.0.1.");
    }
    ::unsetenv("SSL_CERT_FILE");
    EXPECT_FALSE(FileExists("firmware.acy"));
    EXPECT_FALSE(FileExists("ZOP-Update.exe"));
    EXPECT_FALSE(FileExists(sim->DumpPath()));

    // The genuine server: the signer's key in the question, the tool's log says it was verified.
    PointAt(serverPort_);
    {
        ModalWatcher watcher(*form);
        Button("BitBtn19")->click();
        EXPECT_EQ(LogLines(*form).back(), "ZOP-Update.exe gespeichert, Signatur geprüft: Schlüssel " + updates.KeyId()
                                              + ", target:karvenzop version:1.0.3 file:ZOP-Update.exe");
    }
    const auto boxes = RunFirmwareUpdate();
    EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes[0].text.toStdString());
    EXPECT_TRUE(ReadFile(sim->DumpPath()) == image) << sim->Log();
}

TEST_F(UpdateFlashWindow, DamagedFrameIsRepeatedAndThePortOpensEvenIfItWasClosed)
{
    const std::string image = RandomBytes(4096, 5);
    root_.WriteFile("karvenc469.acy", MakeContainer(image, "4.71"));
    StartServer();
    // A long info text keeps its label in front.
    const std::string info = "KARVEN " + std::string(230, 'i') + " end";
    StartSim({"--fault", "corrupt-frame=3", "--flags", "0", "--info", info});
    MakeForm();
    ConnectToSim(false);

    const auto boxes = RunFirmwareUpdate();
    EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes[0].text.toStdString());
    EXPECT_TRUE(ReadFile(sim->DumpPath()) == image);
    EXPECT_NE(sim->Log().find("FAULT page write 3 arrives damaged"), std::string::npos);
    EXPECT_TRUE(PortOpenAt9600());
    EXPECT_EQ(Label("StaticText1"), "Firmware OK.");
    // Without flag bit 0 the encryption lines are left out.
    const std::vector<std::string> log = WithoutGreeting(LogLines(*form));
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "Connection                     : 2-Wire");
    EXPECT_EQ(log[1], "Info                           : " + info);
    EXPECT_EQ(log.back(), "Firmware OK");
}

TEST_F(UpdateFlashWindow, DamagedDownloadFailsBeforeAnythingIsWritten)
{
    std::string container = MakeContainer(RandomBytes(5000, 6), "4.70");
    ASSERT_GT(container.size(), 1000u);
    container[1000] ^= 0x01;   // inside the image: its CRC-32 no longer matches
    root_.WriteFile("karvenc469.acy", container);
    StartServer();
    StartSim();
    MakeForm();
    ConnectToSim(true);

    const auto boxes = RunFirmwareUpdate();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.indexOf("damaged"), -1) << boxes[0].text.toStdString();
    EXPECT_EQ(boxes[0].title, ApplicationCaption);
    EXPECT_FALSE(FileExists(sim->DumpPath()));
    EXPECT_EQ(sim->Log().find("ERASE"), std::string::npos);
    EXPECT_FALSE(Contains(LogLines(*form), "Firmware OK"));
    EXPECT_NE(Label("StaticText1"), "Firmware OK.");
    // Disconnected and back at 9600; the decoder kept its firmware.
    EXPECT_TRUE(PortOpenAt9600());
    EXPECT_TRUE(Button("BitBtn11")->isEnabled());
    EXPECT_EQ(form->LastSeenState(), 0);
    Button("BitBtn21")->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return Label("StaticText7") == "4.69"; }, LongWaitMs)) << sim->Log();
}

TEST_F(UpdateFlashWindow, LostLineFailsAndTheNextRunCompletes)
{
    const std::string image = RandomBytes(4096, 7);
    root_.WriteFile("karvenc469.acy", MakeContainer(image, "4.72"));
    StartServer();
    StartSim({"--fault", "drop-after=3"});
    MakeForm();
    ConnectToSim(true);

    auto boxes = RunFirmwareUpdate();
    ASSERT_EQ(boxes.size(), 1u) << sim->Log();
    EXPECT_NE(boxes[0].text.indexOf("did not acknowledge"), -1) << boxes[0].text.toStdString();
    EXPECT_FALSE(FileExists(sim->DumpPath()));
    EXPECT_FALSE(Contains(LogLines(*form), "Firmware OK"));
    EXPECT_TRUE(PortOpenAt9600());
    EXPECT_TRUE(Button("BitBtn11")->isEnabled());

    boxes = RunFirmwareUpdate();
    EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes[0].text.toStdString());
    EXPECT_TRUE(ReadFile(sim->DumpPath()) == image);
    EXPECT_EQ(LogLines(*form).back(), "Firmware OK");
    EXPECT_TRUE(PortOpenAt9600());
    // Two runs, two reports: each entry into state 2 cleared the log once.
    int reports = 0;
    for (const Snapshot &s : form->snapshots)
        reports += !s.log.empty() && s.log[0] == "Connection                     : 2-Wire" && s.log.size() == 4;
    EXPECT_EQ(reports, 2);
}

// The report starts a cleared view, but the session before it stays in what
// is saved, copied whole and exported, behind a line that marks the place.
TEST_F(UpdateFlashWindow, ClearedViewKeepsTheEarlierLinesForSaveCopyAndExport)
{
    root_.WriteFile("karvenc469.acy", MakeContainer(RandomBytes(2048, 6), "4.70"));
    StartServer();
    StartSim();
    MakeForm();
    ConnectToSim(true);
    form->Protocol().HandleDecoderLine("1\x1eR\x1e" "2\x1e" "12345678\x1e" "3\x1e" "0\x1e" "1\x1e" "1\n");
    form->AddLogLine("before the update");

    const auto boxes = RunFirmwareUpdate();
    ASSERT_TRUE(boxes.empty()) << boxes[0].text.toStdString();
    const std::vector<std::string> view = WithoutGreeting(LogLines(*form));
    ASSERT_FALSE(view.empty());
    EXPECT_EQ(view[0], "Connection                     : 2-Wire");
    EXPECT_FALSE(Contains(view, "before the update"));

    const std::string saved = root_.Path() + "/log.txt";
    SaveEventLog(form->EventLog()->Content(), saved);
    const std::string text = ReadFile(saved);
    const size_t telegram = text.find("R1: 12345678 S:3");
    const size_t before = text.find("before the update");
    const size_t mark = text.find(EventLogContent::ViewClearedMark);
    const size_t report = text.find("Connection                     : 2-Wire");
    ASSERT_NE(report, std::string::npos) << text;
    EXPECT_LT(telegram, before);
    EXPECT_LT(before, mark);
    EXPECT_LT(mark, report);
    EXPECT_NE(text.find("Firmware OK", report), std::string::npos);

    form->EventLog()->findChild<QAction *>("LogCopyAll")->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), QString::fromStdString(text).remove(
        QRegularExpression(QStringLiteral("(?m)^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  "))));

    ExportEventLogTelegrams(form->EventLog()->Content(), root_.Path() + "/t.csv");
    EXPECT_NE(ReadFile(root_.Path() + "/t.csv").find(",12345678,,3,0,1,FZ->LS,"), std::string::npos);
}

TEST_F(UpdateFlashWindow, WithoutBootloaderNothingIsWrittenAndThePortStaysClosed)
{
    root_.WriteFile("karvenc469.acy", MakeContainer(RandomBytes(2048, 8), "4.70"));
    StartServer();
    StartSim({"--fault", "no-bootloader"});
    MakeForm();
    ConnectToSim(true);

    const auto boxes = RunFirmwareUpdate();
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(form->SerialPort1().Connected());
    EXPECT_EQ(Button("BitBtn1")->text(), "Verbindung herstellen");
    EXPECT_FALSE(FileExists(sim->DumpPath()));
    const std::vector<std::string> log = LogLines(*form);
    EXPECT_TRUE(Contains(log, "Connecting on port " + sim->Port() + "...")) << Joined(log);
    bool reason = false;
    for (const std::string &line : log)
        reason = reason || line.find("No answer from the bootloader on " + sim->Port()) != std::string::npos;
    EXPECT_TRUE(reason) << Joined(log);
    EXPECT_FALSE(Contains(log, "Firmware OK"));
}

TEST_F(UpdateFlashWindow, PasswordIsAskedDuringTheRun)
{
    const std::string image = RandomBytes(2048, 9);
    root_.WriteFile("karvenc469.acy", MakeContainer(image, "4.73"));
    StartServer();
    StartSim({"--password", "geheim"});
    MakeForm();
    ConnectToSim(true);

    {
        // Cancelled: the connect gives up, nothing is written and the port stays closed.
        ModalWatcher watcher(*form);
        Button("BitBtn18")->click();
        EXPECT_EQ(watcher.inputBoxes, 1);
        EXPECT_EQ(watcher.inputTitle, "Password required");
        EXPECT_EQ(watcher.inputLabel, "Password");
        EXPECT_TRUE(watcher.boxes.empty());
    }
    EXPECT_FALSE(FileExists(sim->DumpPath()));
    EXPECT_FALSE(form->SerialPort1().Connected());

    {
        ModalWatcher watcher(*form, QStringLiteral("geheim"));
        Button("BitBtn18")->click();
        EXPECT_EQ(watcher.inputBoxes, 1);
        EXPECT_TRUE(watcher.boxes.empty());
    }
    EXPECT_TRUE(ReadFile(sim->DumpPath()) == image);
    EXPECT_TRUE(PortOpenAt9600());
}

TEST_F(UpdateFlashWindow, CancelledConfirmationLeavesDecoderPortAndFilesAlone)
{
    root_.WriteFile("karvenc469.acy", MakeContainer(RandomBytes(2048, 10), "4.74"));
    StartServer();
    StartSim();
    MakeForm();
    ConnectToSim(true);
    Button("BitBtn21")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Label("StaticText7") == "4.69"; }, LongWaitMs)) << sim->Log();
    const int baud = form->SerialPort1().BaudRate();

    ModalWatcher watcher(*form, {}, false);
    Button("BitBtn18")->click();
    ASSERT_EQ(watcher.confirmations.size(), 1u);
    const QString &text = watcher.confirmations[0];
    EXPECT_NE(text.indexOf("KARVEN-C469"), -1) << text.toStdString();
    EXPECT_NE(text.indexOf("Version 4.74"), -1) << text.toStdString();
    EXPECT_NE(text.indexOf("Dekoder: Version 4.69"), -1) << text.toStdString();
    EXPECT_TRUE(watcher.boxes.empty());
    EXPECT_FALSE(FileExists(sim->DumpPath()));
    EXPECT_EQ(sim->Log().find("ERASE"), std::string::npos);
    EXPECT_FALSE(FileExists("firmware.acy"));
    EXPECT_TRUE(form->SerialPort1().Connected());
    EXPECT_EQ(form->SerialPort1().BaudRate(), baud);
    EXPECT_EQ(LogLines(*form).back(), "Firmware-Update abgebrochen, Dekoder und Dateien unverändert.");
    // Still the decoder it was.
    form->findChild<QLabel *>(QStringLiteral("StaticText7"))->setText("not read");
    Button("BitBtn21")->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return Label("StaticText7") == "4.69"; }, LongWaitMs)) << sim->Log();
}

// ---- Host callbacks answered without a run

TEST_F(UpdateFlashWindow, HostAnswersTheLibrary)
{
    StartSim();
    MakeForm();
    ConnectToSim(false);
    form->AddLogLine("kept");

    IBootloaderHost &host = *form;
    EXPECT_EQ(host.OpenConnection(2), nullptr);
    EXPECT_EQ(host.OpenConnection(1000), nullptr);
    EXPECT_FALSE(form->SerialPort1().Connected());
    EXPECT_EQ(LogLines(*form), std::vector<std::string>{"kept"});
    EXPECT_EQ(Label("StaticText1"), " Waiting... ");

    BootloaderTimeouts timeouts{};
    host.GetTimeouts(timeouts);
    const int32_t expected[14] = {19200, 10, 800, 10, 15, 10, 10, 10, 250, 0, 0, 20, 0, 1};
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(timeouts.Field[i], expected[i]) << "field " << i + 1;
    EXPECT_EQ(host.GetEntryCommand(), WideString(u"0\x1e" u"C\x1e" u"B\n\r"));
    EXPECT_EQ(host.GetHostValue(0), 16908288);
    EXPECT_EQ(host.GetHostValue(1), -1);
    EXPECT_EQ(host.GetHostValue(-7), -1);
    EXPECT_EQ(host.GetBootSign(), WideString(u"norVEX"));
    const WideString flashFile = host.GetFlashFileName();
    EXPECT_EQ(flashFile, WideFromUtf8(BinDirectory() + "firmware.acy"));
    EXPECT_EQ(host.GetImageFileName(), flashFile);
    EXPECT_TRUE(host.GetEepromFileName().empty());
    EXPECT_TRUE(host.GetExtraText1().empty());
    EXPECT_TRUE(host.GetExtraText2().empty());
    // The library's references never end the window.
    EXPECT_EQ(host.AddRef(), -1);
    EXPECT_EQ(host.Release(), -1);

    {
        ModalWatcher watcher(*form, QStringLiteral("geheim"));
        EXPECT_EQ(host.GetPassword(), WideString(u"geheim"));
        EXPECT_EQ(watcher.inputTitle, "Password required");
        EXPECT_EQ(watcher.inputLabel, "Password");
    }
    {
        ModalWatcher watcher(*form);
        EXPECT_EQ(host.GetPassword(), WideString());
        EXPECT_EQ(watcher.inputBoxes, 1);
    }

    // Output: the status line and a selected log line; the code does not matter.
    host.Output(u"Writing firmware: 10 %", 1);
    EXPECT_EQ(Label("StaticText1"), "Writing firmware: 10 %");
    EXPECT_EQ(LogLines(*form).back(), "Writing firmware: 10 %");
    EXPECT_EQ(form->EventLog()->ItemIndex(), 1);

    // Index 0 and 1 both open the port named in the box (not the component's).
    for (int32_t index : {0, 1}) {
        IBootloaderLink *link = host.OpenConnection(index);
        ASSERT_NE(link, nullptr);
        EXPECT_EQ(link->GetBaudRate(), 19200);
        EXPECT_EQ(LogLines(*form).back(), "Connecting on port " + sim->Port() + "...");
        EXPECT_EQ(Label("StaticText1"), QString::fromStdString("Connecting on port " + sim->Port() + "..."));
        link->Close();
        link->Release();
    }
    EXPECT_FALSE(form->SerialPort1().Connected());
}

int main(int argc, char **argv)
{
    // Test discovery runs the binary outside ctest's environment too.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window saves its downloads in the working folder and gives the
    // library the path beside the executable: the two must be one file.
    if (::chdir(BinDirectory().c_str()) != 0)
        return 2;
    QApplication app(argc, argv);
    ApplyWindowFont();
    InstallDefaultErrorHandler([]() -> QWidget * { return nullptr; });
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
