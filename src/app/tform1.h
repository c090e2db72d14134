#pragma once

#include "decoderconnection.h"
#include "decoderreader.h"
#include "httpclient.h"
#include "serialport.h"
#include "updateservice.h"
#include "windowbootloaderhost.h"

#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class TEventLog;
class TPortComboBox;
class TSignalLed;
class TValueListEditor;
class QFont;

// The designed layout assumes an 8-point sans serif at 96 dpi (11 pixels);
// Liberation Sans has the metrics closest to it.
QFont WindowFont();
void ApplyWindowFont();

// The main window: six pages (built in tform1pages.cpp), the event log below
// them, and the handlers of every button. Widgets carry the names other code
// and tests find them by. The connection and the sequences run in the
// session classes; the window turns clicks into their calls and their
// results into widgets. It owns the bootloader library's host.
class TForm1 : public QWidget {
    Q_OBJECT
public:
    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override;

    static constexpr int DesignedWidth = 544;
    // Outer window heights with the event log shown and hidden.
    static constexpr int HeightWithLog = 510;
    static constexpr int HeightWithoutLog = 432;
    // Our frame adds nothing to the client height: the designed client area
    // is 476 for the 510-pixel window, so the caption and border took 34.
    static constexpr int FrameExtra = 510 - 476;
    // The pause after each command of a read sequence.
    static constexpr int CommandPauseMs = session::DecoderSession::CommandPauseMs;

    void AddLogLine(const std::string &text);
    TEventLog *EventLog() const { return listBox1_; }
    decoder::DecoderReader &Protocol() { return connection_->Reader(); }
    TSerialPort &SerialPort1() { return connection_->Port(); }
    THttpClient &HttpClient1() { return httpClient1_; }
    // Why flashing is unavailable (the bootloader library could not be loaded), or empty.
    const std::string &BootloaderProblem() const { return bootloaderProblem_; }

    // Handlers, named after the component and event they serve.
    void FormCreate();
    void FormDestroy();
    void CheckBox34Click();
    void BitBtn5Click();
    void ComboBox3Change(int index);
    void BitBtn1Click();
    void SerialPort1AfterOpen();
    void SerialPort1AfterClose();
    void BitBtn21Click();
    void BitBtn4Click();
    void BitBtn24Click();
    void BitBtn15Click();
    void BitBtn14Click();
    void BitBtn16Click();
    void BitBtn11Click();
    void BitBtn12Click();
    void BitBtn17Click();
    void BitBtn20Click();
    void BitBtn19Click();
    void BitBtn18Click();
    void HttpClient1WorkBegin(int32_t countMax);
    void HttpClient1Work(int32_t count);
    void HttpClient1WorkEnd();

    // The bootloader library's state report, through the window's host.
    virtual void StateChanged();
    uint8_t LastSeenState() const { return bootloaderHost_.LastSeenState(); }
    // The window as the library's host, as the library sees it.
    operator IBootloaderHost &() { return bootloaderHost_; }

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    friend class WindowBootloaderHost;

    // Edit names of the tone rows in digit order 1-9, 0, R.
    static constexpr const char *ToneEdits[decoder::ToneDigits] = {
        "Edit3", "Edit4", "Edit5", "Edit6", "Edit7", "Edit10", "Edit9", "Edit8", "Edit13", "Edit12", "Edit11"};

    // A line from the decoder: its log line, its fields, then the last log line selected.
    void ShowDecoderLine(const decoder::DecoderLine &line);

    void CreateConnection();
    void BuildPages();
    void BuildPageGeneral(QWidget *page);
    void BuildPageFilter(QWidget *page);
    void BuildPageSubstitution(QWidget *page);
    void BuildPageSelectiveCall(QWidget *page);
    void BuildPageFirmware(QWidget *page);
    void BuildPageService(QWidget *page);
    void AttachComponents();

    // Connects a button's click to a handler run under the default error handler.
    void OnClick(const char *button, void (TForm1::*handler)());

    // Runs a click handler; a close asked for meanwhile waits until it ends.
    void RunHandler(void (TForm1::*handler)());
    void PauseWithEvents(int milliseconds);
    void SetStatusLine(const QString &text);
    void PlaceOnScreen();
    QString AskPassword(const QString &title, const QString &prompt, bool *ok = nullptr);
    // Names the fetched image and asks before anything is written; false
    // when the user cancels (said in the log).
    bool ConfirmFirmwareUpdate(const session::FirmwareOffer &offer);
    // A question whose default answer is "Abbrechen"; true for the other.
    // A refused download leaves one log line before its message box.
    template <class Fetch> auto Refusable(Fetch fetch) -> decltype(fetch());

    QPushButton *Btn(const char *name) const;
    QLabel *Static(const char *name) const;
    QLineEdit *Edit(const char *name) const;

    std::unique_ptr<session::DecoderConnection> connection_;
    WindowBootloaderHost bootloaderHost_{*this};
    THttpClient httpClient1_;
    session::UpdateService updates_{httpClient1_};
    std::string bootloaderProblem_;
    int32_t progressMax_ = 100;

    QTabWidget *pageControl1_ = nullptr;
    TEventLog *listBox1_ = nullptr;
    QCheckBox *checkBox34_ = nullptr;
    QComboBox *comboBox3_ = nullptr;
    TPortComboBox *portComboBox1_ = nullptr;
    TSignalLed *signalLed1_ = nullptr;
    TSignalLed *signalLed2_ = nullptr;
    TSignalLed *signalLed3_ = nullptr;
    TValueListEditor *valueListEditor1_ = nullptr;
    QProgressBar *progressBar1_ = nullptr;
    QObject *syncNotifier_ = nullptr;
    bool destroyed_ = false;
    int runningHandlers_ = 0;
    bool closePending_ = false;
};
