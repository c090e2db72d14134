// The tool's own update as a Windows user finishes it, run by
// scripts/windows/test-windows.sh from the unpacked ZIP and from the
// installed copy (not a ctest entry: it needs those folders). The lane
// serves our own installer, signed, as ZOP-Update.exe (KARVENZOP_UPDATE_SERVER)
// and the same file unsigned on a second server (KZ_WIN_UNSIGNED_SERVER).
#include "errorbox.h"
#include "tform1.h"
#include "windowplatform.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Seen {
    QString name, text, informative, defaultButton;
};

// Answers every box while the click runs: saves an unsigned file, installs
// when asked, and notes what each box said.
class Answerer {
public:
    Answerer()
    {
        timer_.setInterval(50);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen.push_back({box->objectName(), box->text(), box->informativeText(),
                            box->defaultButton() ? box->defaultButton()->text() : QString()});
            const QString base = box->objectName().chopped(3);   // "...Box"
            if (auto *yes = box->findChild<QPushButton *>(base + QStringLiteral("Yes")))
                yes->click();
            else
                box->accept();
        });
        timer_.start();
    }
    const Seen *Find(const QString &name) const
    {
        for (const Seen &box : seen)
            if (box.name == name)
                return &box;
        return nullptr;
    }
    std::vector<Seen> seen;

private:
    QTimer timer_;
};

QString ProgramFolder() { return QDir::toNativeSeparators(QCoreApplication::applicationDirPath()); }

void Download(TForm1 &form)
{
    form.findChild<QPushButton *>(QStringLiteral("BitBtn19"))->click();
}

} // namespace

TEST(WinToolUpdate, AnUnpackedCopyNamesItsOwnFolderForTheRename)
{
    ASSERT_EQ(ProgramCopyKind(QCoreApplication::applicationDirPath().toStdWString()), ProgramCopy::Unpacked);
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    Answerer answers;
    TForm1 form;
    form.show();
    Download(form);
    const Seen *box = answers.Find(QStringLiteral("MessageBox"));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text, QStringLiteral("Bitte ZOP beenden und Datei ZOP-Update.exe im ZOP-Verzeichnis umbenennen!"));
    EXPECT_EQ(box->informative, QStringLiteral("Gespeichert als %1\\ZOP-Update.exe.\nZOP-Verzeichnis: %1. Nach dem "
                                               "Beenden dort KarvenZop.exe durch ZOP-Update.exe ersetzen: "
                                               "KarvenZop.exe löschen, ZOP-Update.exe in KarvenZop.exe umbenennen.")
                                    .arg(ProgramFolder()));
    EXPECT_EQ(answers.Find(QStringLiteral("InstallUpdateBox")), nullptr);
    EXPECT_TRUE(form.isVisible());
}

TEST(WinToolUpdate, AnInstalledCopyStartsOnlyASignedInstaller)
{
    ASSERT_EQ(ProgramCopyKind(QCoreApplication::applicationDirPath().toStdWString()), ProgramCopy::Installed);
    const std::filesystem::path data = MenuStartDataFolder();
    std::filesystem::create_directories(data);
    std::filesystem::current_path(data);
    const QString saved = QDir::toNativeSeparators(QString::fromStdWString((data / L"ZOP-Update.exe").wstring()));
    Answerer answers;
    TForm1 form;
    form.show();

    // Unsigned: saved after the question, never started.
    const std::string signedServer = std::getenv("KARVENZOP_UPDATE_SERVER");
    _putenv_s("KARVENZOP_UPDATE_SERVER", std::getenv("KZ_WIN_UNSIGNED_SERVER"));
    Download(form);
    _putenv_s("KARVENZOP_UPDATE_SERVER", signedServer.c_str());
    ASSERT_NE(answers.Find(QStringLiteral("ToolUnsignedBox")), nullptr);
    const Seen *box = answers.Find(QStringLiteral("MessageBox"));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->informative, QStringLiteral("Gespeichert als %1.\nDiese Kopie ist installiert (%2). "
                                               "ZOP-Update.exe ist nicht signiert und wird nicht von hier gestartet; "
                                               "nur wer ihrer Herkunft traut, startet sie selbst.")
                                    .arg(saved, ProgramFolder()));
    EXPECT_EQ(answers.Find(QStringLiteral("InstallUpdateBox")), nullptr);
    EXPECT_TRUE(form.isVisible());

    // Signed: the question after the box, "Abbrechen" the default; the
    // installer starts (with KARVENZOP_UPDATE_ARGUMENTS) and the window closes.
    answers.seen.clear();
    Download(form);
    box = answers.Find(QStringLiteral("MessageBox"));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->informative, QStringLiteral("Gespeichert als %1.\nDiese Kopie ist installiert (%2): "
                                               "ZOP-Update.exe installiert die neue Version. Die nächste Frage "
                                               "startet sie.")
                                    .arg(saved, ProgramFolder()));
    const Seen *question = answers.Find(QStringLiteral("InstallUpdateBox"));
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->text, QStringLiteral("Update jetzt installieren?\n\nZOP wird dazu beendet."));
    EXPECT_EQ(question->defaultButton, QStringLiteral("Abbrechen"));
    EXPECT_FALSE(form.isVisible());
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
    InstallDefaultErrorHandler([]() -> QWidget * { return nullptr; });
    return RUN_ALL_TESTS();
}
