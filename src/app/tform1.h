#pragma once

#include "bootloaderhost.h"
#include "decoderreader.h"
#include "decodersession.h"
#include "httpclient.h"
#include "serialport.h"
#include "updateservice.h"

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

// The designed layout assumes an 8-point sans serif at 96 dpi (11 pixels);
// Liberation Sans has the metrics closest to it.
void ApplyWindowFont();

// The main window: six pages, the event log below them, and the handlers of
// every button. Widgets carry the names other code and tests find them by.
// The sequences themselves run in the session classes; the window turns
// clicks into their calls and their results into widgets. It is also the
// bootloader library's host.
class TForm1 : public QWidget, public TBootloaderHost {
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
    decoder::DecoderReader &Protocol() { return session_->Reader(); }
    TSerialPort &SerialPort1() { return *serialPort1_; }
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
    void SerialPort1RxChar(int count);
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

    // IBootloaderHost, the parts the window shows and asks
    int32_t ProcessMessages() override;
    void Output(const char16_t *text, int32_t code) override;
    WideString GetPassword() override;
    void ShowStatus(const std::string &text) override;
    void ReportProgramFailure(const std::string &message) override;

protected:
    void closeEvent(QCloseEvent *event) override;
    std::string ConnectionPortName() override;
    void ShowConnectionReport(const std::vector<std::string> &lines) override;
    void ShowBootloaderState(uint8_t state) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // A line from the decoder: its log line, its fields, then the last log line selected.
    void ShowDecoderLine(const decoder::DecoderLine &line);

    void CreateSerialPort();
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
    bool AskBeforeWriting(const QString &name, const QString &title, const QString &text, const QString &yes);
    // A refused download leaves one log line before its message box.
    template <class Fetch> auto Refusable(Fetch fetch) -> decltype(fetch());

    QPushButton *Btn(const char *name) const;
    QLabel *Static(const char *name) const;
    QLineEdit *Edit(const char *name) const;

    std::unique_ptr<TSerialPort> serialPort1_;
    std::unique_ptr<session::DecoderSession> session_;
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
