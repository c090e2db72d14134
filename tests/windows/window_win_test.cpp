// The main window of the Windows build under wine, on Qt's offscreen
// platform (wine does not hand QT_ variables to the program, so the
// platform is chosen by argument). The decoder simulator sits on the COM
// port the lane script maps (KZ_WIN_SIM_PORT).
#include "errorbox.h"
#include "eventlog.h"
#include "eventlogexport.h"
#include "laneenv.h"
#include "portcombobox.h"
#include "tform1.h"
#include "toolkittranslation.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTest>
#include <QTranslator>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include <windows.h>

namespace {

template <class T>
T *Find(QWidget &form, const char *name)
{
    return form.findChild<T *>(QString::fromLatin1(name));
}

// Picks `port` in the box and connects.
void ConnectOn(TForm1 &form, const QString &port)
{
    auto *box = Find<TPortComboBox>(form, "PortComboBox1");
    const int index = box->findText(port);
    ASSERT_GE(index, 0) << "not listed: " << port.toStdString();
    box->SetItemIndex(index);
    auto *connect = Find<QPushButton>(form, "BitBtn1");
    QTest::mouseClick(connect, Qt::LeftButton);
    ASSERT_EQ(connect->text(), QStringLiteral("Verbindung beenden"));
}

} // namespace

TEST(WinWindow, ConnectsOnAComPortAndShowsTheDecodersReply)
{
    const char *port = std::getenv("KZ_WIN_SIM_PORT");
    if (port == nullptr || *port == '\0')
        GTEST_SKIP() << "KZ_WIN_SIM_PORT is not set: run scripts/windows/test-windows.sh";
    TForm1 form;
    form.show();
    ASSERT_EQ(Find<QTabWidget>(form, "PageControl1")->count(), 6);

    // The port box lists the names registered under SERIALCOMM.
    ASSERT_NO_FATAL_FAILURE(ConnectOn(form, QString::fromLatin1(port)));

    // The reply crosses from the port's event thread through the toolkit's
    // event loop (the Windows event notifier) into the window.
    QTest::mouseClick(Find<QPushButton>(form, "BitBtn21"), Qt::LeftButton);
    auto *serial = Find<QLabel>(form, "StaticText8");
    EXPECT_TRUE(QTest::qWaitFor([&] { return serial->text() == QStringLiteral("A1234"); }, 10000))
        << serial->text().toStdString();
    auto *connect = Find<QPushButton>(form, "BitBtn1");
    QTest::mouseClick(connect, Qt::LeftButton);
    EXPECT_EQ(connect->text(), QStringLiteral("Verbindung herstellen"));
}

// A decoder behind ser2net on the host, in the window's own list of remote
// ports: read through the remote device, its dropped link is a lost device,
// and the reconnect brings it back once the link is up again.
TEST(WinWindow, ReadsADecoderBehindADeviceServerAndReconnectsAfterTheLinkDrops)
{
    REQUIRE_ENV(drop, "KZ_WIN_REMOTE_DROP");
    const QString url = QString::fromStdString(DroppingRemotePort());
    QSettings settings(QStringLiteral("KarvenZop"), QStringLiteral("KarvenZop"));
    settings.setValue(QStringLiteral("RemotePorts"), QStringList{url});

    TForm1 form;
    form.show();
    ASSERT_NO_FATAL_FAILURE(ConnectOn(form, url));
    QTest::mouseClick(Find<QPushButton>(form, "BitBtn21"), Qt::LeftButton);
    auto *serial = Find<QLabel>(form, "StaticText8");
    auto *hardware = Find<QLabel>(form, "StaticText6");
    EXPECT_TRUE(QTest::qWaitFor([&] { return serial->text() == QStringLiteral("A1234") &&
                                             hardware->text() == QStringLiteral("C469-2"); }, 10000))
        << serial->text().toStdString() << " / " << hardware->text().toStdString();

    const auto logged = [&](int from, const std::string &line) {
        return QTest::qWaitFor([&] {
            for (int i = from; i < form.EventLog()->Content().Count(); ++i)
                if (form.EventLog()->Content().Line(i) == line)
                    return true;
            return false;
        }, 15000);
    };
    const int before = form.EventLog()->Content().Count();
    std::ofstream(drop).put('\n');
    EXPECT_TRUE(logged(before, "Verbindung zum Gerät unterbrochen."));
    const int away = form.EventLog()->Content().Count();
    DeleteFileA(drop.c_str());
    EXPECT_TRUE(logged(away, "Verbindung zu " + url.toStdString() + " wiederhergestellt (9600 Baud)."));
    auto *connect = Find<QPushButton>(form, "BitBtn1");
    EXPECT_EQ(connect->text(), QStringLiteral("Verbindung beenden"));

    QTest::mouseClick(connect, Qt::LeftButton);
    EXPECT_EQ(connect->text(), QStringLiteral("Verbindung herstellen"));
    settings.remove(QStringLiteral("RemotePorts"));
}

// The socket library is loaded while the window is made, so a missing one
// stops the start instead of the first update check.
TEST(WinWindow, SocketLibraryIsLoadedWithTheWindow)
{
    TForm1 form;
    EXPECT_NE(GetModuleHandleA("wsock32.dll"), nullptr);
}

// The toolkit's German texts ship beside the program: its own file dialog
// (the log's save dialog) reads German, not English.
TEST(WinWindow, FileDialogsReadGerman)
{
    QTranslator *translator = InstallToolkitTranslation(QLocale(QLocale::German, QLocale::Germany));
    ASSERT_NE(translator, nullptr) << "no translations\\qtbase_de.qm beside the program";
    {
        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        EXPECT_EQ(dialog.findChild<QLabel *>(QStringLiteral("lookInLabel"))->text(), QStringLiteral("Suchen in:"));
    }
    QCoreApplication::removeTranslator(translator);
    delete translator;
}

// An adapter plugged in or pulled out changes SERIALCOMM; the box follows
// without being opened.
TEST(WinWindow, PortListFollowsAdaptersComingAndGoing)
{
    TForm1 form;
    form.show();
    auto *box = Find<TPortComboBox>(form, "PortComboBox1");
    const QString arrived = QStringLiteral("COM42");
    ASSERT_LT(box->findText(arrived), 0);

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char data[] = "COM42";
    ASSERT_EQ(RegSetValueExA(key, "\\Device\\KarvenTestArrival", 0, REG_SZ, reinterpret_cast<const BYTE *>(data),
                             sizeof data),
              ERROR_SUCCESS);
    EXPECT_TRUE(QTest::qWaitFor([&] { return box->findText(arrived) >= 0; }, 5000)) << "the new port is not listed";

    RegDeleteValueA(key, "\\Device\\KarvenTestArrival");
    RegCloseKey(key);
    EXPECT_TRUE(QTest::qWaitFor([&] { return box->findText(arrived) < 0; }, 5000)) << "the pulled port is still listed";
}

// Windows editors expect CR LF in a saved log.
TEST(WinWindow, ASavedLogEndsItsLinesWithCrLf)
{
    TForm1 form;
    form.AddLogLine("first");
    form.AddLogLine("second");
    const std::string path = (std::filesystem::temp_directory_path() / "kz-win-log.txt").string();
    SaveEventLog(form.EventLog()->Content(), path);
    std::ifstream in(path, std::ios::binary);
    const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::remove(path.c_str());
    EXPECT_TRUE(std::regex_match(saved, std::regex("[-0-9 :.]{23}  first\r\n[-0-9 :.]{23}  second\r\n"))) << saved;
}

TEST(WinWindow, ErrorBoxCaptionFollowsTheProgramName)
{
    EXPECT_EQ(ApplicationTitle(QStringLiteral("C:/Programme/KarvenZop/KarvenZop.exe")), QStringLiteral("Karvenzop"));
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    int qtArgc = 3;
    char platform[] = "-platform";
    char offscreen[] = "offscreen";
    char *qtArgv[] = {argv[0], platform, offscreen, nullptr};
    QApplication app(qtArgc, qtArgv);
    ApplyWindowFont();
    return RUN_ALL_TESTS();
}
