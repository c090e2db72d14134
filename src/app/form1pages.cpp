#include "form1pages.h"

#include "eventlog.h"
#include "karvenzop_config.h"
#include "portcombobox.h"
#include "signalled.h"
#include "statictext.h"
#include "tonepresets.h"
#include "valuelisteditor.h"
#include "windowplatform.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QToolButton>

#include <algorithm>
#include <tuple>
#include <utility>

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

using NamePair = std::pair<const char *, const char *>;

// The right side of the filter and substitution pages: an empty box above a
// column with reading from and sending to the decoder (enabled while
// connected) and the configuration file's load and save.
void DeviceAndFileColumn(QWidget *page, NamePair boxes, NamePair read, NamePair send, NamePair loadSave)
{
    MakeGroup(page, boxes.first, "", RightX, TopRightY, RightW, TopRightH);
    auto *column = MakeGroup(page, boxes.second, "", RightX, ColumnY, RightW, ColumnH);
    ColumnButton(column, read.first, read.second, 52, false);
    ColumnButton(column, send.first, send.second, 80, false);
    ColumnButton(column, loadSave.first, "Konfiguration laden", 220);
    ColumnButton(column, loadSave.second, "Konfiguration speichern", 248);
}


void BuildPageGeneral(QWidget *page, Form1Widgets &w)
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
    w.checkBox34 = MakeCheck(box, "CheckBox34", "Unteres Statusfenster anzeigen", 8, 340, 213, 17);
    w.checkBox34->setChecked(true);

    auto *connection = MakeGroup(page, "GroupBox2", " Verbindung ", RightX, TopRightY, RightW, TopRightH);
    w.portComboBox1 = new TPortComboBox(connection);
    w.portComboBox1->setObjectName(QStringLiteral("PortComboBox1"));
    w.portComboBox1->setGeometry(12, 20, 153, 21);
    // Filling the list may fail (error 23): then the window is not created.
    w.portComboBox1->SetPortProperty(cpPort);
    w.portComboBox1->SetText(StoredPortBoxText);
    w.portComboBox1->SetItemIndex(0);
    auto lamp = [connection](const char *name, TLedKind kind, TLedSignal signal, int x) {
        auto *led = new TSignalLed(connection);
        led->setObjectName(QString::fromLatin1(name));
        led->setGeometry(x, 44, 25, 25);
        led->SetKind(kind);
        led->SetLedSignal(signal);
        return led;
    };
    w.signalLed1 = lamp("SignalLed1", lkBlueLight, lsConn, 12);
    w.signalLed3 = lamp("SignalLed3", lkGreenLight, lsRx, 116);
    w.signalLed2 = lamp("SignalLed2", lkRedLight, lsTx, 136);

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

void BuildPageFilter(QWidget *page, Form1Widgets &)
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

    DeviceAndFileColumn(page, {"GroupBox15", "GroupBox12"}, {"BitBtn6", "Filtereinstellungen lesen"},
                        {"BitBtn9", "Filtereinstellungen übertragen"}, {"BitBtn7", "BitBtn8"});
}

void BuildPageSubstitution(QWidget *page, Form1Widgets &w)
{
    auto *box = MakeGroup(page, "GroupBox8", " Substitutionen ", LeftX, LeftY, LeftW, LeftH);
    w.valueListEditor1 = new TValueListEditor(box);
    w.valueListEditor1->setObjectName(QStringLiteral("ValueListEditor1"));
    w.valueListEditor1->setGeometry(12, 20, 306, 300);
    MakeButton(box, "BitBtn14", "Neu...", 12, 324, 101, 25);
    MakeButton(box, "BitBtn16", "Löschen", 220, 324, 101, 25);

    DeviceAndFileColumn(page, {"GroupBox14", "GroupBox13"}, {"BitBtn10", "Substitutionen lesen"},
                        {"BitBtn13", "Substitutionen übertragen"}, {"BitBtn11", "BitBtn12"});
}

void BuildPageSelectiveCall(QWidget *page, Form1Widgets &w)
{
    auto *box = MakeGroup(page, "GroupBox20", "", LeftX, LeftY, LeftW, LeftH);
    MakeLabel(box, "Label15", "Tonruftabelle:", 12, 24);
    w.comboBox3 = MakeCombo(box, "ComboBox3", {"ZVEI-1", "ZVEI-2", "EEA", "CCIR", "eigene"}, 88, 20, 85, 21);

    auto *tones = MakeGroup(box, "GroupBox22", " Aktive Tonruftabelle ", 12, 44, 161, 305);
    static const char *digits = "1234567890R";
    const auto preset = TonePreset(0);
    for (int i = 0; i < decoder::ToneDigits; ++i) {
        const std::string label = std::string("Ziffer ") + digits[i] + ":";
        MakeLabel(tones, nullptr, label.c_str(), 28, 32 + 24 * i);
        MakeEdit(tones, ToneEditNames[i], (*preset)[i].c_str(), 68, 28 + 24 * i, 37, 21);
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

void BuildPageFirmware(QWidget *page, Form1Widgets &w)
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
    w.progressBar1 = new QProgressBar(box);
    w.progressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    w.progressBar1->setGeometry(52, 176, 225, 17);
    w.progressBar1->setRange(0, 100);
    w.progressBar1->setValue(0);
    w.progressBar1->setTextVisible(false);
    // The status line keeps its size: a longer text ends in "…" and shows whole as tooltip.
    static_cast<TStaticText *>(MakeStatic(box, "StaticText1", " Waiting... ", 52, 196, 225, 17,
                                          Qt::AlignLeft | Qt::AlignVCenter))
        ->SetElided(true);
    MakeButton(box, "BitBtn19", "Neue ZOP herunterladen", 52, 236, 225, 25);

    auto *column = MakeGroup(page, "GroupBox16", "", RightX, ColumnY, RightW, ColumnH);
    ColumnButton(column, "BitBtn17", "Prüfen: ZOP Update", 12);
    ColumnButton(column, "BitBtn20", "Prüfen: Dekoder Update", 40);
}

void BuildPageService(QWidget *page, Form1Widgets &)
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

} // namespace

QFont WindowFont()
{
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(11);
    return font;
}

void ApplyWindowFont()
{
    QApplication::setFont(WindowFont());
    // The classic style draws group captions on the frame line, as designed.
    QApplication::setStyle(QStringLiteral("Windows"));
}

void PlaceOnScreen(QWidget *window, int frameExtra)
{
    const QScreen *where = window->screen();
    if (!where)
        return;
    const QRect area = where->availableGeometry();
    const QSize outer(window->width(), window->height() + frameExtra);
    const int x = std::max(area.left(), std::min(window->pos().x(), area.right() + 1 - outer.width()));
    const int y = std::max(area.top(), std::min(window->pos().y(), area.bottom() + 1 - outer.height()));
    window->move(x, y);
}

QPushButton *Form1Widgets::Button(const char *name) const
{
    return form->findChild<QPushButton *>(QString::fromLatin1(name));
}

QLabel *Form1Widgets::Static(const char *name) const { return form->findChild<QLabel *>(QString::fromLatin1(name)); }

QLineEdit *Form1Widgets::Edit(const char *name) const
{
    return form->findChild<QLineEdit *>(QString::fromLatin1(name));
}

void Form1Widgets::SetStatusLine(const QString &text) const { Static("StaticText1")->setText(text); }

Form1Widgets BuildForm1Pages(QWidget *form)
{
    Form1Widgets w;
    w.form = form;
    w.pageControl1 = new QTabWidget(form);
    w.pageControl1->setObjectName(QStringLiteral("PageControl1"));
    w.pageControl1->setGeometry(0, 0, 544, 401);
    struct PageDef {
        const char *name;
        const char *caption;
        void (*build)(QWidget *, Form1Widgets &);
    };
    const PageDef pages[] = {
        {"TabSheet1", "Allgemein", &BuildPageGeneral},
        {"TabSheet2", "FMS: Filter", &BuildPageFilter},
        {"TabSheet3", "FMS: Substitution", &BuildPageSubstitution},
        {"TabSheet5", "Selektivruf", &BuildPageSelectiveCall},
        {"TabSheet4", "Firmware-Update", &BuildPageFirmware},
        {"TabSheet6", "Service", &BuildPageService},
    };
    for (const PageDef &def : pages) {
        auto *page = new QWidget;
        page->setObjectName(QString::fromLatin1(def.name));
        w.pageControl1->addTab(page, QString::fromUtf8(def.caption));
        def.build(page, w);
    }
    w.pageControl1->setCurrentIndex(0);

    w.listBox1 = new TEventLog(form);
    w.listBox1->setObjectName(QStringLiteral("ListBox1"));
    w.listBox1->setGeometry(0, 401, 544, 73);
    return w;
}
