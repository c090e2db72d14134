#include "tform1.h"

#include "bootloaderlibrary.h"
#include "displaytext.h"
#include "errorbox.h"
#include "errorhandler.h"
#include "eventlog.h"
#include "exception.h"
#include "firmwarecontainer.h"
#include "firmwareupdater.h"
#include "karvenzop_config.h"
#include "librarylockout.h"
#include "portcombobox.h"
#include "remoteportsdialog.h"
#include "serversetting.h"
#include "toolupdate.h"
#include "workingfolder.h"
#include "signalled.h"
#include "tcpconnection.h"
#include "text8bit.h"
#include "tonepresets.h"
#include "valuelisteditor.h"
#include "watchnotifier.h"
#include "windowplatform.h"
#include "windowquestions.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QThread>
#include <QTimer>

#include <ctime>

namespace {

// A refused download leaves one log line before its message box.
template <class Fetch>
auto Refusable(TForm1 &form, Fetch fetch) -> decltype(fetch())
{
    try {
        return fetch();
    } catch (const session::EUpdateRefused &refused) {
        form.AddLogLine(refused.Message());
        throw;
    }
}

} // namespace

TForm1::TForm1(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("KARVEN ZOP v" KZ_VERSION));
    // Opens at its designed size, which is also the smallest; a larger
    // window gives all extra room to the event log.
    setMinimumSize(DesignedWidth, HeightWithLog - FrameExtra);
    resize(DesignedWidth, HeightWithLog - FrameExtra);
    move(516, 124);
    PlaceOnScreen(this, FrameExtra);

    // The system's theme has fonts of its own for some kinds of widget (item
    // views: the substitution grid), which the application font does not
    // reach. Under wine that font did not fit the grid's 18-pixel rows: what
    // was typed into a cell stayed invisible until the cell was left. Set on
    // the window, the designed font reaches every widget in it.
    setFont(WindowFont());
    CreateConnection();
    widgets_ = BuildForm1Pages(this);
    AttachComponents();
    FormCreate();
}

void TForm1::CreateConnection()
{
    session::DecoderConnection::Handlers handlers;
    handlers.afterOpen = [this] { SerialPort1AfterOpen(); };
    handlers.afterClose = [this] { SerialPort1AfterClose(); };
    // A pulled adapter: the lamps go dark, the connection stays the user's,
    // and the same device is tried again twice a second until it is back or
    // the user disconnects.
    auto *retry = new QTimer(this);
    retry->setInterval(500);
    connect(retry, &QTimer::timeout, this, [this, retry] {
        Guarded([&] {
            if (!connection_->WaitingForDevice() || connection_->RetryLostDevice())
                retry->stop();
        });
    });
    handlers.deviceLost = [this, retry] {
        AddLogLine("Verbindung zum Gerät unterbrochen.");
        retry->start();
    };
    handlers.deviceReturned = [this] {
        AddLogLine("Verbindung zu " + SerialPort1().Port() + " wiederhergestellt (9600 Baud).");
    };
    handlers.line = [this](const decoder::DecoderLine &line) { ShowDecoderLine(line); };
    connection_ = std::make_unique<session::DecoderConnection>(StoredPortName, std::move(handlers), [](int ms) {
        QCoreApplication::processEvents();
        QThread::msleep(ms);
        QCoreApplication::processEvents();
    });
    syncNotifier_ = NotifyWhenReady(connection_->WakeFd(), this,
                                    [this] { Guarded([this] { connection_->DeliverHandOvers(); }); });

    // A missing socket library stops the start with its message, not the first update check.
    TcpConnection::LoadSocketLibrary();
    httpClient1_.OnWorkBegin = [this](THttpClient *, TWorkMode, int32_t max) { HttpClient1WorkBegin(max); };
    httpClient1_.OnWork = [this](THttpClient *, TWorkMode, int32_t count) { HttpClient1Work(count); };
    httpClient1_.OnWorkEnd = [this](THttpClient *, TWorkMode) { HttpClient1WorkEnd(); };
}

void TForm1::AttachComponents()
{
    // After every component exists, as the window definition loads them:
    // the box selects the port's stored name if it is listed.
    // Remote ports of the user's, listed before the last opened port is chosen.
    AttachRemotePortsSetting(this, widgets_.portComboBox1);
    widgets_.portComboBox1->SetSerialPort(&SerialPort1());
    widgets_.signalLed1->SetSerialPort(&SerialPort1());
    widgets_.signalLed3->SetSerialPort(&SerialPort1());

    auto onClick = [this](const char *button, void (TForm1::*handler)()) {
        connect(widgets_.Button(button), &QPushButton::clicked, this,
                [this, handler] { handlers_.Run([&] { (this->*handler)(); }); });
    };
    onClick("BitBtn1", &TForm1::BitBtn1Click);
    onClick("BitBtn6", &TForm1::BitBtn1Click);
    onClick("BitBtn10", &TForm1::BitBtn1Click);
    onClick("BitBtn4", &TForm1::BitBtn4Click);
    onClick("BitBtn21", &TForm1::BitBtn21Click);
    onClick("BitBtn24", &TForm1::BitBtn24Click);
    onClick("BitBtn5", &TForm1::BitBtn5Click);
    onClick("BitBtn15", &TForm1::BitBtn15Click);
    for (const char *load : {"BitBtn2", "BitBtn7", "BitBtn11"})
        onClick(load, &TForm1::BitBtn11Click);
    for (const char *save : {"BitBtn3", "BitBtn8", "BitBtn12"})
        onClick(save, &TForm1::BitBtn12Click);
    onClick("BitBtn14", &TForm1::BitBtn14Click);
    onClick("BitBtn16", &TForm1::BitBtn16Click);
    onClick("BitBtn17", &TForm1::BitBtn17Click);
    onClick("BitBtn20", &TForm1::BitBtn20Click);
    onClick("BitBtn19", &TForm1::BitBtn19Click);
    onClick("BitBtn18", &TForm1::BitBtn18Click);
    // Telegram designations for the log's "Namen anzeigen" and its table
    // export: the substitution list as it stands in the window.
    widgets_.listBox1->SetDesignationLookup([this](const std::string &identifier) {
        const SubstitutionList &list = widgets_.valueListEditor1->Strings();
        const size_t entry = list.Find(identifier);
        return entry < list.Count() ? QString::fromStdString(DecodeText(list.Value(entry), list.Encoding()))
                                    : QString();
    });
    // The update server named from the window: the context menus of the
    // status line and the update buttons.
    AttachUpdateServerSetting(this, {widgets_.Static("StaticText1"), widgets_.Button("BitBtn17"),
                                     widgets_.Button("BitBtn20"), widgets_.Button("BitBtn19")});
    // Beside it, and on the list's load and save: the folder those files are in.
    AttachWorkingFolderEntry(this, {widgets_.Static("StaticText1"), widgets_.Button("BitBtn17"),
                                    widgets_.Button("BitBtn20"), widgets_.Button("BitBtn19"),
                                    widgets_.Button("BitBtn11"), widgets_.Button("BitBtn12")});
    connect(widgets_.checkBox34, &QCheckBox::clicked, this, [this] { Guarded([this] { CheckBox34Click(); }); });
    // activated() fires only for the user's choice, never for a selection made from code.
    connect(widgets_.comboBox3, &QComboBox::activated, this, [this](int index) { Guarded([&] { ComboBox3Change(index); }); });
}

TForm1::~TForm1()
{
    Guarded([this] { FormDestroy(); });
    // The lamps and the box point at the port: let them go first.
    widgets_.portComboBox1->SetSerialPort(nullptr);
    widgets_.signalLed1->SetSerialPort(nullptr);
    widgets_.signalLed3->SetSerialPort(nullptr);
    bootloaderHost_.SetLoader(nullptr);
}

void TForm1::FormCreate()
{
    Protocol().ClearBuffer();
    try {
        bootloaderHost_.SetLoader(BootloaderLibrary::Default().OpenBootloader(&bootloaderHost_));
    } catch (const std::exception &e) {
        // The tool stays useful without flashing; the reason is shown once
        // the window is up, and again when flashing is asked for.
        bootloaderProblem_ = e.what();
        QMetaObject::invokeMethod(
            this, [this] { ShowErrorBox(AnsiToQString(WithFinalFullStop(bootloaderProblem_)), this); },
            Qt::QueuedConnection);
    }
}

void TForm1::FormDestroy()
{
    if (destroyed_)
        return;
    destroyed_ = true;
    if (SerialPort1().Connected())
        SerialPort1().ClosePort();
}

void TForm1::closeEvent(QCloseEvent *event)
{
    if (handlers_.HoldClose()) {
        event->ignore();
        return;
    }
    if (!destroyed_ && widgets_.valueListEditor1->Modified() && !ConfirmDiscardListEdits(this)) {
        event->ignore();
        return;
    }
    Guarded([this] { FormDestroy(); });
    event->accept();
}

void TForm1::AddLogLine(const std::string &text)
{
    widgets_.listBox1->Append(text);
    widgets_.listBox1->FollowLastLine();
}

void TForm1::CheckBox34Click()
{
    if (isMaximized())
        showNormal();
    if (widgets_.checkBox34->isChecked()) {
        setMinimumHeight(HeightWithLog - FrameExtra);
        setMaximumHeight(QWIDGETSIZE_MAX);
        resize(width(), HeightWithLog - FrameExtra);
    } else {
        // The log lies below the lower edge; the height stays fixed so that
        // it cannot be pulled back into view.
        setFixedHeight(HeightWithoutLog - FrameExtra);
    }
}

void TForm1::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // The pages keep their designed place; the log takes the rest (2 pixels
    // below it, as designed).
    if (widgets_.listBox1)
        widgets_.listBox1->setGeometry(0, 401, width(), std::max(0, height() - 401 - 2));
}

void TForm1::BitBtn5Click()
{
    // The answer is not used: no service password unlocks anything.
    AskPassword(this, QStringLiteral("Service Modus"), QStringLiteral("Bitte das Servicepasswort eingeben!"));
}

void TForm1::ComboBox3Change(int index)
{
    const auto preset = TonePreset(index);
    if (!preset)
        return;
    for (int i = 0; i < decoder::ToneDigits; ++i)
        widgets_.Edit(ToneEditNames[i])->setText(QString::fromLatin1((*preset)[i].c_str()));
}

void TForm1::ShowDecoderLine(const decoder::DecoderLine &line)
{
    if (line.logText && line.kind == decoder::LineKind::Telegram)
        widgets_.listBox1->AppendTelegram(*line.logText, line.telegram);
    else if (line.logText)
        widgets_.listBox1->Append(*line.logText);
    const QString value = AnsiToQString(line.value);
    switch (line.kind) {
    case decoder::LineKind::SerialNumber:
        widgets_.Static("StaticText8")->setText(value);
        break;
    case decoder::LineKind::FirmwareVersion:
        widgets_.Static("StaticText7")->setText(value);
        widgets_.Static("StaticText4")->setText(value);
        break;
    case decoder::LineKind::HardwareRevision:
        widgets_.Static("StaticText6")->setText(value);
        break;
    case decoder::LineKind::ToneTable:
        for (int i = 0; i < decoder::ToneDigits; ++i)
            widgets_.Edit(ToneEditNames[i])->setText(AnsiToQString(line.tones[i]));
        break;
    default:
        break;
    }
    widgets_.listBox1->FollowLastLine();
}

// ---- Connection toggle and decoder commands

void TForm1::BitBtn1Click() { connection_->Toggle(widgets_.portComboBox1->Text()); }

namespace {
// Enabled exactly while the port is open, switched in this order.
constexpr const char *ConnectionButtons[] = {"BitBtn4", "BitBtn6", "BitBtn9", "BitBtn10", "BitBtn13",
                                             "BitBtn15", "BitBtn21", "BitBtn22", "BitBtn24", "BitBtn25"};
} // namespace

void TForm1::SerialPort1AfterOpen()
{
    widgets_.Button("BitBtn1")->setText(QStringLiteral("Verbindung beenden"));
    for (const char *name : ConnectionButtons)
        widgets_.Button(name)->setEnabled(true);
}

void TForm1::SerialPort1AfterClose()
{
    widgets_.Button("BitBtn1")->setText(QStringLiteral("Verbindung herstellen"));
    for (const char *name : ConnectionButtons)
        widgets_.Button(name)->setEnabled(false);
}

void TForm1::BitBtn21Click()
{
    connection_->Session().ReadAllValues();
}

void TForm1::BitBtn4Click()
{
    connection_->Session().SetClock(std::time(nullptr));
}

void TForm1::BitBtn24Click()
{
    connection_->Session().Reset();
}

void TForm1::BitBtn15Click()
{
    // From code: shows "eigene" without clearing the fields the reply will fill.
    widgets_.comboBox3->setCurrentIndex(4);
    connection_->Session().RequestToneTable();
}

// ---- Substitution list

void TForm1::BitBtn14Click() { widgets_.valueListEditor1->NewEntry(); }

void TForm1::BitBtn16Click() { widgets_.valueListEditor1->DeleteCurrentEntry(); }

void TForm1::BitBtn11Click()
{
    if (widgets_.valueListEditor1->Modified() && !ConfirmDiscardListEdits(this))
        return;
    widgets_.valueListEditor1->LoadFromFile("substi.txt");
    AddLogLine("Konfiguration geladen.");
}

void TForm1::BitBtn12Click()
{
    // The file may hold entries the grid never showed (never loaded, a load
    // stopped at a duplicate, changed since): overwriting them asks first.
    if (const size_t lost = widgets_.valueListEditor1->EntriesSaveWouldLose("substi.txt");
        lost > 0 && !ConfirmListSaveLosingEntries(this, lost))
        return;
    widgets_.valueListEditor1->SaveToFile("substi.txt");
    AddLogLine("Konfiguration gespeichert.");
}

// ---- Update checks and downloads

void TForm1::BitBtn17Click()
{
    const std::string version = updates_.ProgramVersion();
    widgets_.Static("StaticText2")->setText(AnsiToQString(version));
}

void TForm1::BitBtn20Click()
{
    const std::string version = updates_.FirmwareVersion();
    widgets_.Static("StaticText3")->setText(AnsiToQString(version));
}

void TForm1::BitBtn19Click()
{
    const session::SignedDownload tool = Refusable(*this, [&] { return updates_.FetchTool(); });
    if (!tool.isSigned && !ConfirmUnsignedTool(this)) {
        AddLogLine("ZOP-Update.exe nicht signiert, nicht gespeichert.");
        return;
    }
    updates_.SaveTool(tool.bytes);
    AddLogLine(tool.isSigned ? "ZOP-Update.exe gespeichert, Signatur geprüft: Schlüssel " + tool.keyId + ", "
                                   + tool.trustedComment
                             : std::string("ZOP-Update.exe gespeichert, nicht signiert und nicht geprüft."));
    // The box, then for an installed copy the installer's start; it needs the window gone.
    if (ToolUpdateFinish(this, QCoreApplication::applicationDirPath())
            .Run(tool, session::AbsolutePath(session::UpdateService::ToolFile)))
        close();
}

void TForm1::HttpClient1WorkBegin(int32_t countMax)
{
    widgets_.progressBar1->setValue(0);
    progressMax_ = countMax;
    // An empty range would make the bar an endless busy indicator.
    widgets_.progressBar1->setMaximum(countMax > 0 ? countMax : 1);
    if (countMax > 0)
        widgets_.SetStatusLine(QStringLiteral("Transfering: %1").arg(countMax));
}

void TForm1::HttpClient1Work(int32_t count)
{
    if (progressMax_ > 0) {
        widgets_.SetStatusLine(QStringLiteral("%1 bytes of %2 bytes.").arg(count).arg(progressMax_));
        widgets_.progressBar1->setValue(count);
    } else {
        widgets_.SetStatusLine(QStringLiteral("%1 bytes.").arg(count));
    }
}

void TForm1::HttpClient1WorkEnd()
{
    widgets_.SetStatusLine(QStringLiteral("Ready..."));
    widgets_.progressBar1->setValue(0);
}

// ---- Firmware update and the bootloader library's host

void TForm1::BitBtn18Click()
{
    if (!bootloaderHost_.Loader())
        throw Exception(bootloaderProblem_);
    // The version the decoder reported; not read, there is no downgrade check.
    const std::string decoderVersion = connection_->FirmwareVersion().value_or(std::string());
    const session::FirmwareOffer offer = Refusable(*this, [&] { return updates_.FetchFirmwareOffer(decoderVersion); });
    if (!ConfirmFirmwareUpdate(this, offer)) {
        AddLogLine("Firmware-Update abgebrochen, Dekoder und Dateien unverändert.");
        return;
    }
    // Saved for the user; the library gets the checked bytes themselves.
    updates_.SaveFirmware(offer.download.bytes);
    const WhileLibraryWorks lockout(*widgets_.pageControl1, *widgets_.listBox1);
    if (session::FirmwareUpdater(SerialPort1(), bootloaderHost_).Flash(offer.download.bytes) ==
        session::FirmwareUpdater::Outcome::Flashed) {
        // The version read before is no longer the decoder's.
        connection_->ForgetFirmwareVersion();
        widgets_.Static("StaticText4")->setText(QStringLiteral("not read"));
        widgets_.Static("StaticText7")->setText(QStringLiteral("not read"));
    }
}

void TForm1::StateChanged() { bootloaderHost_.ReportState(); }
