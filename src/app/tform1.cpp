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
#include "mainthreadsync.h"
#include "portcombobox.h"
#include "signalled.h"
#include "statictext.h"
#include "tonepresets.h"
#include "valuelisteditor.h"
#include "watchnotifier.h"
#include "windowplatform.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QThread>
#include <QToolButton>

#include <ctime>

namespace {

// Bounds are left, top, width, height inside the parent, as designed.
QGroupBox *MakeGroup(QWidget *parent, const char *name, const char *caption, int x, int y, int w, int h)
{
    auto *box = new QGroupBox(QString::fromUtf8(caption), parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setGeometry(x, y, w, h);
    return box;
}

QPushButton *MakeButton(QWidget *parent, const char *name, const char *caption, int x, int y, int w, int h,
                        bool enabled = true)
{
    auto *button = new QPushButton(QString::fromUtf8(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(x, y, w, h);
    button->setEnabled(enabled);
    button->setAutoDefault(false);
    return button;
}

// Column buttons: 161 x 25 at left 8 of their group box.
QPushButton *ColumnButton(QWidget *parent, const char *name, const char *caption, int top, bool enabled = true)
{
    return MakeButton(parent, name, caption, 8, top, 161, 25, enabled);
}

QLabel *MakeLabel(QWidget *parent, const char *name, const char *text, int x, int y, bool enabled = true)
{
    auto *label = new QLabel(QString::fromUtf8(text), parent);
    if (name)
        label->setObjectName(QString::fromLatin1(name));
    label->move(x, y);
    label->adjustSize();
    label->setEnabled(enabled);
    return label;
}

QLabel *MakeStatic(QWidget *parent, const char *name, const char *text, int x, int y, int w, int h,
                   Qt::Alignment align = Qt::AlignHCenter | Qt::AlignVCenter)
{
    // Static texts show outside text (versions, the status line): plain and bounded.
    auto *label = new TStaticText(QString::fromUtf8(text), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(x, y, w, h);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setAlignment(align);
    return label;
}

QLineEdit *MakeEdit(QWidget *parent, const char *name, const char *text, int x, int y, int w, int h, int maxLength = 0)
{
    auto *edit = new QLineEdit(QString::fromUtf8(text), parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setGeometry(x, y, w, h);
    if (maxLength > 0)
        edit->setMaxLength(maxLength);
    return edit;
}

QCheckBox *MakeCheck(QWidget *parent, const char *name, const char *caption, int x, int y, int w, int h)
{
    auto *box = new QCheckBox(QString::fromUtf8(caption), parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setGeometry(x, y, w, h);
    return box;
}

QComboBox *MakeCombo(QWidget *parent, const char *name, std::initializer_list<const char *> items, int x, int y, int w, int h)
{
    auto *combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(name));
    for (const char *item : items)
        combo->addItem(QString::fromUtf8(item));
    combo->setCurrentIndex(0);
    combo->setGeometry(x, y, w, h);
    return combo;
}

// The large left box, the small right box and the button column of a page.
constexpr int LeftX = 4, LeftY = 4, LeftW = 341, LeftH = 365;
constexpr int RightX = 348, TopRightY = 4, RightW = 181, TopRightH = 77, ColumnY = 84, ColumnH = 285;

// Edit names of the tone rows in digit order 1-9, 0, R.
constexpr const char *ToneEdits[decoder::ToneDigits] = {"Edit3", "Edit4", "Edit5", "Edit6", "Edit7", "Edit10",
                                                        "Edit9", "Edit8", "Edit13", "Edit12", "Edit11"};

} // namespace

void ApplyWindowFont()
{
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(11);
    QApplication::setFont(font);
    // The classic style draws group captions on the frame line, as designed.
    QApplication::setStyle(QStringLiteral("Windows"));
}

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
    PlaceOnScreen();

    CreateSerialPort();
    pageControl1_ = new QTabWidget(this);
    pageControl1_->setObjectName(QStringLiteral("PageControl1"));
    pageControl1_->setGeometry(0, 0, 544, 401);
    struct PageDef {
        const char *name;
        const char *caption;
        void (TForm1::*build)(QWidget *);
    };
    const PageDef pages[] = {
        {"TabSheet1", "Allgemein", &TForm1::BuildPageGeneral},
        {"TabSheet2", "FMS: Filter", &TForm1::BuildPageFilter},
        {"TabSheet3", "FMS: Substitution", &TForm1::BuildPageSubstitution},
        {"TabSheet5", "Selektivruf", &TForm1::BuildPageSelectiveCall},
        {"TabSheet4", "Firmware-Update", &TForm1::BuildPageFirmware},
        {"TabSheet6", "Service", &TForm1::BuildPageService},
    };
    for (const PageDef &def : pages) {
        auto *page = new QWidget;
        page->setObjectName(QString::fromLatin1(def.name));
        pageControl1_->addTab(page, QString::fromUtf8(def.caption));
        (this->*def.build)(page);
    }
    pageControl1_->setCurrentIndex(0);

    listBox1_ = new TEventLog(this);
    listBox1_->setObjectName(QStringLiteral("ListBox1"));
    listBox1_->setGeometry(0, 401, 544, 73);

    AttachComponents();
    FormCreate();
}

void TForm1::CreateSerialPort()
{
    // Stored settings of SerialPort1; the toggle replaces name and rate before every open.
    serialPort1_ = std::make_unique<TSerialPort>();
    TSerialPort &port = *serialPort1_;
    port.BeginLoading();
    port.SetBaudRate(br19200);
    port.SetPort(StoredPortName);
    session::ConfigureDecoderPort(port);
    port.OnAfterOpen = [this](TCustomSerialPort &) { SerialPort1AfterOpen(); };
    port.OnAfterClose = [this](TCustomSerialPort &) { SerialPort1AfterClose(); };
    // Runs inside the port's event delivery: a failure there ends delivery
    // (the port's own rule), so it is not guarded here.
    port.OnRxChar = [this](TCustomSerialPort &, int count) { SerialPort1RxChar(count); };
    // The port stays open (its lamp lit) until the user disconnects; say why nothing comes.
    port.OnDeviceLost = [this](TCustomSerialPort &) { AddLogLine("Verbindung zum Gerät unterbrochen."); };
    port.EndLoading();
    session_ = std::make_unique<session::DecoderSession>(
        port, [this](const decoder::DecoderLine &line) { ShowDecoderLine(line); },
        [this](int ms) { PauseWithEvents(ms); });

    // The port's event thread hands batches over through this object.
    MainThreadSync &sync = MainThreadSync::Instance();
    sync.SetMainThread(std::this_thread::get_id());
    syncNotifier_ = NotifyWhenReady(sync.WakeFd(), this,
                                    [] { Guarded([] { MainThreadSync::Instance().CheckSynchronize(); }); });

    httpClient1_.OnWorkBegin = [this](THttpClient *, TWorkMode, int32_t max) { HttpClient1WorkBegin(max); };
    httpClient1_.OnWork = [this](THttpClient *, TWorkMode, int32_t count) { HttpClient1Work(count); };
    httpClient1_.OnWorkEnd = [this](THttpClient *, TWorkMode) { HttpClient1WorkEnd(); };
}

void TForm1::AttachComponents()
{
    // After every component exists, as the window definition loads them:
    // the box selects the port's stored name if it is listed.
    portComboBox1_->SetSerialPort(serialPort1_.get());
    signalLed1_->SetSerialPort(serialPort1_.get());
    signalLed3_->SetSerialPort(serialPort1_.get());

    OnClick("BitBtn1", &TForm1::BitBtn1Click);
    OnClick("BitBtn6", &TForm1::BitBtn1Click);
    OnClick("BitBtn10", &TForm1::BitBtn1Click);
    OnClick("BitBtn4", &TForm1::BitBtn4Click);
    OnClick("BitBtn21", &TForm1::BitBtn21Click);
    OnClick("BitBtn24", &TForm1::BitBtn24Click);
    OnClick("BitBtn5", &TForm1::BitBtn5Click);
    OnClick("BitBtn15", &TForm1::BitBtn15Click);
    for (const char *load : {"BitBtn2", "BitBtn7", "BitBtn11"})
        OnClick(load, &TForm1::BitBtn11Click);
    for (const char *save : {"BitBtn3", "BitBtn8", "BitBtn12"})
        OnClick(save, &TForm1::BitBtn12Click);
    OnClick("BitBtn14", &TForm1::BitBtn14Click);
    OnClick("BitBtn16", &TForm1::BitBtn16Click);
    OnClick("BitBtn17", &TForm1::BitBtn17Click);
    OnClick("BitBtn20", &TForm1::BitBtn20Click);
    OnClick("BitBtn19", &TForm1::BitBtn19Click);
    OnClick("BitBtn18", &TForm1::BitBtn18Click);
}

TForm1::~TForm1()
{
    Guarded([this] { FormDestroy(); });
    // The lamps and the box point at the port: let them go first.
    portComboBox1_->SetSerialPort(nullptr);
    signalLed1_->SetSerialPort(nullptr);
    signalLed3_->SetSerialPort(nullptr);
    SetLoader(nullptr);
}

void TForm1::BuildPageGeneral(QWidget *page)
{
    auto *box = MakeGroup(page, "GroupBox1", "", LeftX, LeftY, LeftW, LeftH);
    MakeLabel(box, "Label5", "Hardware Revision:", 36, 32);
    MakeStatic(box, "StaticText6", "not read", 136, 32, 125, 17);
    MakeLabel(box, "Label6", "Firmware Version:", 48, 52);
    MakeStatic(box, "StaticText7", "not read", 136, 52, 125, 17);
    MakeLabel(box, "Label7", "Seriennummer:", 60, 72);
    MakeStatic(box, "StaticText8", "not read", 136, 72, 125, 17);
    MakeLabel(box, "Label8", "Überschrift:", 76, 104);
    MakeEdit(box, "Edit2", "", 136, 100, 125, 21, 15);
    MakeLabel(box, "Label9", "Startmodus:", 72, 132, false);
    auto *radio1 = new QRadioButton(QStringLiteral("Normal"), box);
    radio1->setObjectName(QStringLiteral("RadioButton1"));
    radio1->setGeometry(140, 128, 113, 17);
    radio1->setChecked(true);
    auto *radio2 = new QRadioButton(QString::fromUtf8("Übersicht"), box);
    radio2->setObjectName(QStringLiteral("RadioButton2"));
    radio2->setGeometry(140, 148, 113, 17);
    auto *radio3 = new QRadioButton(QStringLiteral("Uhrzeit/Datum"), box);
    radio3->setObjectName(QStringLiteral("RadioButton3"));
    radio3->setGeometry(140, 168, 113, 17);
    for (QRadioButton *radio : {radio1, radio2, radio3})
        radio->setEnabled(false);
    MakeLabel(box, "Label10", "Kanal 1:", 92, 196, false);
    MakeCombo(box, "ComboBox1", {"FMS (TR-BOS)", "-deaktiviert-"}, 136, 192, 125, 21)->setEnabled(false);
    MakeLabel(box, "Label11", "Kanal 2:", 92, 220, false);
    MakeCombo(box, "ComboBox2", {"Selektivruf", "POCSAG (1.1)", "-deaktiviert-"}, 136, 216, 125, 21)->setEnabled(false);
    checkBox34_ = MakeCheck(box, "CheckBox34", "Unteres Statusfenster anzeigen", 8, 340, 213, 17);
    checkBox34_->setChecked(true);
    connect(checkBox34_, &QCheckBox::clicked, this, [this] { Guarded([this] { CheckBox34Click(); }); });

    auto *connection = MakeGroup(page, "GroupBox2", " Verbindung ", RightX, TopRightY, RightW, TopRightH);
    portComboBox1_ = new TPortComboBox(connection);
    portComboBox1_->setObjectName(QStringLiteral("PortComboBox1"));
    portComboBox1_->setGeometry(12, 20, 153, 21);
    // Filling the list may fail (error 23): then the window is not created.
    portComboBox1_->SetPortProperty(cpPort);
    portComboBox1_->SetText(StoredPortBoxText);
    portComboBox1_->SetItemIndex(0);
    auto lamp = [connection](const char *name, TLedKind kind, TLedSignal signal, int x) {
        auto *led = new TSignalLed(connection);
        led->setObjectName(QString::fromLatin1(name));
        led->setGeometry(x, 44, 25, 25);
        led->SetKind(kind);
        led->SetLedSignal(signal);
        return led;
    };
    signalLed1_ = lamp("SignalLed1", lkBlueLight, lsConn, 12);
    signalLed3_ = lamp("SignalLed3", lkGreenLight, lsRx, 116);
    signalLed2_ = lamp("SignalLed2", lkRedLight, lsTx, 136);

    auto *column = MakeGroup(page, "GroupBox3", "", RightX, ColumnY, RightW, ColumnH);
    ColumnButton(column, "BitBtn1", "Verbindung herstellen", 16);
    ColumnButton(column, "BitBtn4", "Uhrzeit und Datum übertragen", 52, false);
    ColumnButton(column, "BitBtn21", "Alle Werte aus Dekoder lesen", 92, false);
    ColumnButton(column, "BitBtn22", "Alle Werte in Dekoder senden", 120, false);
    ColumnButton(column, "BitBtn24", "RESET senden.", 148, false);
    ColumnButton(column, "BitBtn5", "Service-Funktionen aktivieren", 180);
    ColumnButton(column, "BitBtn2", "Konfiguration laden", 220);
    ColumnButton(column, "BitBtn3", "Konfiguration speichern", 248);
}

void TForm1::BuildPageFilter(QWidget *page)
{
    auto *box = MakeGroup(page, "GroupBox7", " Filtereinstellungen ", LeftX, LeftY, LeftW, LeftH);
    // Check box names by status value 0-F; the designer numbered them out of order.
    static const int toVehicle[16] = {1, 2, 4, 3, 8, 7, 6, 5, 16, 15, 14, 13, 12, 11, 10, 9};
    static const int fromVehicle[16] = {17, 18, 20, 19, 24, 23, 22, 21, 32, 31, 30, 29, 28, 27, 26, 25};
    auto fill = [](QGroupBox *group, const int (&numbers)[16]) {
        for (int k = 0; k < 16; ++k) {
            const std::string name = "CheckBox" + std::to_string(numbers[k]);
            const std::string caption = std::string("Status ") + "0123456789ABCDEF"[k];
            MakeCheck(group, name.c_str(), caption.c_str(), 8, 20 + 16 * k, 65, 17);
        }
    };
    fill(MakeGroup(box, "GroupBox9", " LS > FZG ", 12, 24, 81, 285), toVehicle);
    fill(MakeGroup(box, "GroupBox10", " LS < FZG ", 100, 24, 81, 285), fromVehicle);
    auto *general = MakeGroup(box, "GroupBox11", " Allgemein ", 188, 24, 125, 57);
    MakeCheck(general, "CheckBox33", "nur bekannte Fzg", 12, 24, 109, 17);

    MakeGroup(page, "GroupBox15", "", RightX, TopRightY, RightW, TopRightH);
    auto *column = MakeGroup(page, "GroupBox12", "", RightX, ColumnY, RightW, ColumnH);
    ColumnButton(column, "BitBtn6", "Filtereinstellungen lesen", 52, false);
    ColumnButton(column, "BitBtn9", "Filtereinstellungen übertragen", 80, false);
    ColumnButton(column, "BitBtn7", "Konfiguration laden", 220);
    ColumnButton(column, "BitBtn8", "Konfiguration speichern", 248);
}

void TForm1::BuildPageSubstitution(QWidget *page)
{
    auto *box = MakeGroup(page, "GroupBox8", " Substitutionen ", LeftX, LeftY, LeftW, LeftH);
    valueListEditor1_ = new TValueListEditor(box);
    valueListEditor1_->setObjectName(QStringLiteral("ValueListEditor1"));
    valueListEditor1_->setGeometry(12, 20, 306, 300);
    MakeButton(box, "BitBtn14", "Neu...", 12, 324, 101, 25);
    MakeButton(box, "BitBtn16", "Löschen", 220, 324, 101, 25);

    MakeGroup(page, "GroupBox14", "", RightX, TopRightY, RightW, TopRightH);
    auto *column = MakeGroup(page, "GroupBox13", "", RightX, ColumnY, RightW, ColumnH);
    ColumnButton(column, "BitBtn10", "Substitutionen lesen", 52, false);
    ColumnButton(column, "BitBtn13", "Substitutionen übertragen", 80, false);
    ColumnButton(column, "BitBtn11", "Konfiguration laden", 220);
    ColumnButton(column, "BitBtn12", "Konfiguration speichern", 248);
}

void TForm1::BuildPageSelectiveCall(QWidget *page)
{
    auto *box = MakeGroup(page, "GroupBox20", "", LeftX, LeftY, LeftW, LeftH);
    MakeLabel(box, "Label15", "Tonruftabelle:", 12, 24);
    comboBox3_ = MakeCombo(box, "ComboBox3", {"ZVEI-1", "ZVEI-2", "EEA", "CCIR", "eigene"}, 88, 20, 85, 21);
    // activated() fires only for the user's choice, never for a selection made from code.
    connect(comboBox3_, &QComboBox::activated, this, [this](int index) { Guarded([&] { ComboBox3Change(index); }); });

    auto *tones = MakeGroup(box, "GroupBox22", " Aktive Tonruftabelle ", 12, 44, 161, 305);
    static const char *digits = "1234567890R";
    const auto preset = TonePreset(0);
    for (int i = 0; i < decoder::ToneDigits; ++i) {
        const std::string label = std::string("Ziffer ") + digits[i] + ":";
        MakeLabel(tones, nullptr, label.c_str(), 28, 32 + 24 * i);
        MakeEdit(tones, ToneEdits[i], (*preset)[i].c_str(), 68, 28 + 24 * i, 37, 21);
        MakeLabel(tones, nullptr, "Hz", 112, 32 + 24 * i);
    }

    auto *alarms = MakeGroup(box, "GroupBox23", " Alarmfolgen ", 176, 44, 157, 105);
    for (int row = 0; row < 3; ++row) {
        const std::string label = "Alarmfolge " + std::to_string(row + 1) + ":";
        MakeLabel(alarms, nullptr, label.c_str(), 8, 24 + 24 * row);
        const std::string edit = "Edit" + std::to_string(14 + row);
        MakeEdit(alarms, edit.c_str(), "", 72, 20 + 24 * row, 45, 21, 5);
        const std::string active = "CheckBox" + std::to_string(35 + row);
        const std::string relay = "CheckBox" + std::to_string(38 + row);
        MakeCheck(alarms, active.c_str(), "", 120, 20 + 24 * row, 20, 17);
        MakeCheck(alarms, relay.c_str(), "", 136, 20 + 24 * row, 15, 17);
    }
    MakeLabel(box, nullptr, "Erste Checkbox: Aktiv / Inaktiv", 180, 160);
    MakeLabel(box, nullptr, "Zweite Checkbox: Relais?", 180, 176);

    MakeGroup(page, "GroupBox19", "", RightX, TopRightY, RightW, TopRightH);
    auto *column = MakeGroup(page, "GroupBox21", "", RightX, ColumnY, RightW, ColumnH);
    ColumnButton(column, "BitBtn15", "Aktive Ton-Tabelle lesen", 52, false);
    ColumnButton(column, "BitBtn25", "Aktive Ton-Tabelle übertragen", 80, false);
}

void TForm1::BuildPageFirmware(QWidget *page)
{
    auto *box = MakeGroup(page, "GroupBox4", " Firmware-Update ", LeftX, LeftY, LeftW, LeftH);
    auto *versions = MakeGroup(box, "GroupBox17", "", 52, 32, 225, 105);
    MakeLabel(versions, "Label1", "ZOP Version auf Server:", 8, 12);
    MakeStatic(versions, "StaticText2", "not read", 136, 12, 81, 17);
    MakeLabel(versions, "Label4", "ZOP Version lokal:", 8, 32);
    MakeStatic(versions, "StaticText5", KZ_VERSION, 136, 32, 81, 17);
    MakeLabel(versions, "Label2", "Dekoder Ver. auf Server:", 8, 60);
    MakeStatic(versions, "StaticText3", "not read", 136, 60, 81, 17);
    MakeLabel(versions, "Label3", "Dekoder Version lokal:", 8, 80);
    MakeStatic(versions, "StaticText4", "not read", 136, 80, 81, 17);
    MakeButton(box, "BitBtn18", "Dekoder Firmware-Update durchführen", 52, 148, 225, 25);
    progressBar1_ = new QProgressBar(box);
    progressBar1_->setObjectName(QStringLiteral("ProgressBar1"));
    progressBar1_->setGeometry(52, 176, 225, 17);
    progressBar1_->setRange(0, 100);
    progressBar1_->setValue(0);
    progressBar1_->setTextVisible(false);
    MakeStatic(box, "StaticText1", " Waiting... ", 52, 196, 225, 17, Qt::AlignLeft | Qt::AlignVCenter);
    MakeButton(box, "BitBtn19", "Neue ZOP herunterladen", 52, 236, 225, 25);

    auto *column = MakeGroup(page, "GroupBox16", "", RightX, ColumnY, RightW, ColumnH);
    ColumnButton(column, "BitBtn17", "Prüfen: ZOP Update", 12);
    ColumnButton(column, "BitBtn20", "Prüfen: Dekoder Update", 40);
}

void TForm1::BuildPageService(QWidget *page)
{
    // The page can be brought to the front, but nothing on it takes input.
    page->setEnabled(false);
    auto *box = MakeGroup(page, "GroupBox5", "", 4, 4, 525, 365);
    auto *serial = MakeGroup(box, "GroupBox6", " Seriennummer ", 16, 24, 205, 57);
    MakeEdit(serial, "Edit1", "not read", 12, 20, 121, 21, 8);
    for (auto [name, caption, x] : {std::tuple{"SpeedButton1", "L", 140}, std::tuple{"SpeedButton2", "S", 168}}) {
        auto *speed = new QToolButton(serial);
        speed->setObjectName(QString::fromLatin1(name));
        speed->setText(QString::fromLatin1(caption));
        speed->setAutoRaise(true);
        speed->setGeometry(x, 20, 23, 22);
    }
    auto *touch = MakeGroup(box, "GroupBox18", " Touchscreen Kalibrierung ", 16, 88, 205, 129);
    touch->setEnabled(false);
    for (int i = 0; i < 3; ++i) {
        const std::string label = "Punkt " + std::to_string(i + 1) + ":";
        MakeLabel(touch, nullptr, label.c_str(), 28, 28 + 20 * i);
        const std::string name = "StaticText" + std::to_string(9 + i);
        MakeStatic(touch, name.c_str(), "not read", 80, 28 + 20 * i, 81, 17);
    }
    MakeButton(touch, "BitBtn23", "...starten", 8, 92, 185, 25);
}

void TForm1::OnClick(const char *button, void (TForm1::*handler)())
{
    connect(Btn(button), &QPushButton::clicked, this, [this, handler] { RunHandler(handler); });
}

void TForm1::RunHandler(void (TForm1::*handler)())
{
    // Sequences let the event loop run, and a close may arrive then: the
    // handler still needs the window and its port, and its error box needs
    // the window, so the close is carried out once it has finished.
    ++runningHandlers_;
    Guarded([&] { (this->*handler)(); });
    if (--runningHandlers_ == 0 && closePending_) {
        closePending_ = false;
        close();
    }
}

QPushButton *TForm1::Btn(const char *name) const { return findChild<QPushButton *>(QString::fromLatin1(name)); }
QLabel *TForm1::Static(const char *name) const { return findChild<QLabel *>(QString::fromLatin1(name)); }
QLineEdit *TForm1::Edit(const char *name) const { return findChild<QLineEdit *>(QString::fromLatin1(name)); }

void TForm1::FormCreate()
{
    Protocol().ClearBuffer();
    try {
        SetLoader(BootloaderLibrary::Default().OpenBootloader(this));
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
    if (serialPort1_->Connected())
        serialPort1_->ClosePort();
}

void TForm1::closeEvent(QCloseEvent *event)
{
    if (runningHandlers_ > 0) {
        closePending_ = true;
        event->ignore();
        return;
    }
    Guarded([this] { FormDestroy(); });
    event->accept();
}

void TForm1::AddLogLine(const std::string &text)
{
    listBox1_->Append(text);
    listBox1_->FollowLastLine();
}

void TForm1::CheckBox34Click()
{
    if (isMaximized())
        showNormal();
    if (checkBox34_->isChecked()) {
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
    if (listBox1_)
        listBox1_->setGeometry(0, 401, width(), std::max(0, height() - 401 - 2));
}

void TForm1::PlaceOnScreen()
{
    // The designed position can lie off a small or highly scaled screen.
    const QScreen *where = screen();
    if (!where)
        return;
    const QRect area = where->availableGeometry();
    const QSize outer(width(), height() + FrameExtra);
    const int x = std::max(area.left(), std::min(pos().x(), area.right() + 1 - outer.width()));
    const int y = std::max(area.top(), std::min(pos().y(), area.bottom() + 1 - outer.height()));
    move(x, y);
}

QString TForm1::AskPassword(const QString &title, const QString &prompt, bool *ok)
{
    QInputDialog dialog(this);
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setTextEchoMode(QLineEdit::Password);
    // Wide enough for the whole title, which the window manager would cut.
    const int titleWidth = dialog.fontMetrics().horizontalAdvance(title) + 160;
    dialog.resize(std::max(dialog.sizeHint().width(), titleWidth), dialog.sizeHint().height());
    const bool accepted = dialog.exec() == QDialog::Accepted;
    if (ok)
        *ok = accepted;
    return accepted ? dialog.textValue() : QString();
}

void TForm1::BitBtn5Click()
{
    // The answer is not used: no service password unlocks anything.
    AskPassword(QStringLiteral("Service Modus"), QStringLiteral("Bitte das Servicepasswort eingeben!"));
}

void TForm1::ComboBox3Change(int index)
{
    const auto preset = TonePreset(index);
    if (!preset)
        return;
    for (int i = 0; i < decoder::ToneDigits; ++i)
        Edit(ToneEdits[i])->setText(QString::fromLatin1((*preset)[i].c_str()));
}

void TForm1::ShowDecoderLine(const decoder::DecoderLine &line)
{
    if (line.logText)
        listBox1_->Append(*line.logText);
    const QString value = AnsiToQString(line.value);
    switch (line.kind) {
    case decoder::LineKind::SerialNumber:
        Static("StaticText8")->setText(value);
        break;
    case decoder::LineKind::FirmwareVersion:
        Static("StaticText7")->setText(value);
        Static("StaticText4")->setText(value);
        break;
    case decoder::LineKind::HardwareRevision:
        Static("StaticText6")->setText(value);
        break;
    case decoder::LineKind::ToneTable:
        for (int i = 0; i < decoder::ToneDigits; ++i)
            Edit(ToneEdits[i])->setText(AnsiToQString(line.tones[i]));
        break;
    default:
        break;
    }
    listBox1_->FollowLastLine();
}

// ---- Connection toggle and decoder commands

void TForm1::BitBtn1Click()
{
    TSerialPort &port = *serialPort1_;
    // A new name on an open port reopens it there first, as the component does.
    const std::string name = portComboBox1_->Text();
    port.SetPort(name);
    if (port.Connected()) {
        port.ClosePort();
        port.SetBaudRate(br9600);
    } else {
        session_->Open(name);
    }
}

namespace {
// Enabled exactly while the port is open, switched in this order.
constexpr const char *ConnectionButtons[] = {"BitBtn4", "BitBtn6", "BitBtn9", "BitBtn10", "BitBtn13",
                                             "BitBtn15", "BitBtn21", "BitBtn22", "BitBtn24", "BitBtn25"};
} // namespace

void TForm1::SerialPort1AfterOpen()
{
    Btn("BitBtn1")->setText(QStringLiteral("Verbindung beenden"));
    for (const char *name : ConnectionButtons)
        Btn(name)->setEnabled(true);
}

void TForm1::SerialPort1AfterClose()
{
    Btn("BitBtn1")->setText(QStringLiteral("Verbindung herstellen"));
    for (const char *name : ConnectionButtons)
        Btn(name)->setEnabled(false);
}

void TForm1::SerialPort1RxChar(int count)
{
    session_->Receive(count);
}

void TForm1::PauseWithEvents(int milliseconds)
{
    QCoreApplication::processEvents();
    QThread::msleep(milliseconds);
    QCoreApplication::processEvents();
}

void TForm1::BitBtn21Click()
{
    session_->ReadAllValues();
}

void TForm1::BitBtn4Click()
{
    session_->SetClock(std::time(nullptr));
}

void TForm1::BitBtn24Click()
{
    session_->Reset();
}

void TForm1::BitBtn15Click()
{
    // From code: shows "eigene" without clearing the fields the reply will fill.
    comboBox3_->setCurrentIndex(4);
    session_->RequestToneTable();
}

// ---- Substitution list

void TForm1::BitBtn14Click() { valueListEditor1_->NewEntry(); }

void TForm1::BitBtn16Click() { valueListEditor1_->DeleteCurrentEntry(); }

void TForm1::BitBtn11Click()
{
    valueListEditor1_->LoadFromFile("substi.txt");
    AddLogLine("Konfiguration geladen.");
}

void TForm1::BitBtn12Click()
{
    // The file may hold entries the grid never showed (never loaded, a load
    // stopped at a duplicate, changed since): overwriting them asks first.
    if (const size_t lost = valueListEditor1_->EntriesSaveWouldLose("substi.txt");
        lost > 0 && !AskBeforeProceeding(QStringLiteral("Einträge in \"substi.txt\", die nicht in der Liste stehen: %1.\n"
                                                         "Beim Speichern gehen sie verloren.")
                                              .arg(lost),
                                          QStringLiteral("Trotzdem speichern"), this))
        return;
    valueListEditor1_->SaveToFile("substi.txt");
    AddLogLine("Konfiguration gespeichert.");
}

// ---- Update checks and downloads

void TForm1::SetStatusLine(const QString &text) { Static("StaticText1")->setText(text); }

void TForm1::BitBtn17Click()
{
    const std::string version = updates_.ProgramVersion();
    Static("StaticText2")->setText(AnsiToQString(version));
}

void TForm1::BitBtn20Click()
{
    const std::string version = updates_.FirmwareVersion();
    Static("StaticText3")->setText(AnsiToQString(version));
}

template <class Fetch>
auto TForm1::Refusable(Fetch fetch) -> decltype(fetch())
{
    try {
        return fetch();
    } catch (const session::EUpdateRefused &refused) {
        AddLogLine(refused.Message());
        throw;
    }
}

void TForm1::BitBtn19Click()
{
    const session::SignedDownload tool = Refusable([&] { return updates_.FetchTool(); });
    if (!tool.isSigned
        && !AskBeforeWriting(QStringLiteral("ToolUnsigned"), QStringLiteral("Neue ZOP herunterladen"),
                             QStringLiteral("ZOP-Update.exe ist nicht signiert: niemand bürgt für ihre Herkunft.\n\n"
                                            "Trotzdem speichern?"),
                             QStringLiteral("Speichern"))) {
        AddLogLine("ZOP-Update.exe nicht signiert, nicht gespeichert.");
        return;
    }
    updates_.SaveTool(tool.bytes);
    AddLogLine(tool.isSigned ? "ZOP-Update.exe gespeichert, Signatur geprüft: Schlüssel " + tool.keyId + ", "
                                   + tool.trustedComment
                             : std::string("ZOP-Update.exe gespeichert, nicht signiert und nicht geprüft."));
    ShowMessage(QStringLiteral("Bitte ZOP beenden und Datei ZOP-Update.exe im ZOP-Verzeichnis umbenennen!"), this);
}

void TForm1::HttpClient1WorkBegin(int32_t countMax)
{
    progressBar1_->setValue(0);
    progressMax_ = countMax;
    // An empty range would make the bar an endless busy indicator.
    progressBar1_->setMaximum(countMax > 0 ? countMax : 1);
    if (countMax > 0)
        SetStatusLine(QStringLiteral("Transfering: %1").arg(countMax));
}

void TForm1::HttpClient1Work(int32_t count)
{
    if (progressMax_ > 0) {
        SetStatusLine(QStringLiteral("%1 bytes of %2 bytes.").arg(count).arg(progressMax_));
        progressBar1_->setValue(count);
    } else {
        SetStatusLine(QStringLiteral("%1 bytes.").arg(count));
    }
}

void TForm1::HttpClient1WorkEnd()
{
    SetStatusLine(QStringLiteral("Ready..."));
    progressBar1_->setValue(0);
}

// ---- Firmware update and the bootloader library's host

void TForm1::BitBtn18Click()
{
    if (!Loader())
        throw Exception(bootloaderProblem_);
    const QString shown = Static("StaticText7")->text();
    const std::string decoderVersion = shown == QLatin1String("not read") ? std::string() : shown.toStdString();
    const session::FirmwareOffer offer = Refusable([&] { return updates_.FetchFirmwareOffer(decoderVersion); });
    if (!ConfirmFirmwareUpdate(offer))
        return;
    // Saved for the user; the library gets the checked bytes themselves.
    updates_.SaveFirmware(offer.download.bytes);
    session::FirmwareUpdater(*serialPort1_, *this).Flash(offer.download.bytes);
}

bool TForm1::AskBeforeWriting(const QString &name, const QString &title, const QString &text, const QString &yes)
{
    QMessageBox box(QMessageBox::Question, title, QString(), QMessageBox::NoButton, this);
    box.setObjectName(name + QStringLiteral("Box"));
    box.setTextFormat(Qt::PlainText);
    box.setText(BoundForDisplay(text));
    QPushButton *accept = box.addButton(yes, QMessageBox::AcceptRole);
    accept->setObjectName(name + QStringLiteral("Yes"));
    QPushButton *cancel = box.addButton(QStringLiteral("Abbrechen"), QMessageBox::RejectRole);
    cancel->setObjectName(name + QStringLiteral("No"));
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == accept;
}

bool TForm1::ConfirmFirmwareUpdate(const session::FirmwareOffer &offer)
{
    const QString target = AnsiToQString(offer.image.target);
    const QString version = AnsiToQString(offer.image.version);
    const QString decoder = offer.decoderVersion.empty() ? QStringLiteral("nicht gelesen") : AnsiToQString(offer.decoderVersion);
    QString text = QStringLiteral("Firmware in den Dekoder schreiben?\n\n"
                                  "Firmware-Datei: %1, Version %2\n"
                                  "Dekoder: Version %3\n")
                       .arg(target, version, decoder);
    text += offer.download.isSigned
        ? QStringLiteral("Signiert mit Schlüssel %1\n").arg(QString::fromStdString(offer.download.keyId))
        : QStringLiteral("\nACHTUNG: Die Firmware-Datei ist nicht signiert, ihre Herkunft ist nicht geprüft.\n");
    if (offer.downgrade)
        text += QStringLiteral("\nACHTUNG: Version %1 ist älter als die des Dekoders (%2): ein Downgrade.\n")
                    .arg(version, decoder);
    text += QStringLiteral("\nWährend des Updates den Dekoder nicht trennen.");
    bool write = AskBeforeWriting(QStringLiteral("FirmwareConfirm"), QStringLiteral("Dekoder Firmware-Update"), text,
                                  QStringLiteral("Update durchführen"));
    if (write && offer.downgrade)
        write = AskBeforeWriting(QStringLiteral("FirmwareDowngrade"), QStringLiteral("Dekoder Firmware-Update"),
                                 QStringLiteral("Wirklich von Version %1 auf die ältere Version %2 zurückgehen?")
                                     .arg(decoder, version),
                                 QStringLiteral("Downgrade durchführen"));
    if (write)
        return true;
    AddLogLine("Firmware-Update abgebrochen, Dekoder und Dateien unverändert.");
    return false;
}

int32_t TForm1::ProcessMessages()
{
    QCoreApplication::processEvents();
    return 0;
}

void TForm1::ShowConnectionReport(const std::vector<std::string> &lines)
{
    // Appended without moving the selection.
    listBox1_->Clear();
    for (const std::string &line : lines)
        listBox1_->Append(line);
}

void TForm1::ShowBootloaderState(uint8_t state)
{
    Btn("BitBtn11")->setEnabled(state != kStateWorking);
    if (state == kStateWorking)
        SetStatusLine(QStringLiteral("Working.."));
}

void TForm1::ShowStatus(const std::string &text) { SetStatusLine(AnsiToQString(text)); }

void TForm1::ReportProgramFailure(const std::string &message) { ShowMessage(AnsiToQString(message), this); }

void TForm1::Output(const char16_t *text, int32_t)
{
    SetStatusLine(QString::fromUtf16(text));
    AddLogLine(Latin1FromWide(text));
}

WideString TForm1::GetPassword()
{
    bool ok = false;
    const QString text = AskPassword(QStringLiteral("Password required"), QStringLiteral("Password"), &ok);
    return ok ? text.toStdU16String() : WideString();
}

std::string TForm1::ConnectionPortName() { return portComboBox1_->Text(); }
