#pragma once

#include "bootloaderintf.h"
#include "decoderprotocol.h"
#include "httpclient.h"
#include "serialport.h"

#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>

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
// It is also the bootloader library's host.
class TForm1 : public QWidget, private decoder::DecoderLineSink, public IBootloaderHost {
    Q_OBJECT
public:
    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override;

    // Outer window heights with the event log shown and hidden.
    static constexpr int HeightWithLog = 510;
    static constexpr int HeightWithoutLog = 432;
    // Our frame adds nothing to the client height: the designed client area
    // is 476 for the 510-pixel window, so the caption and border took 34.
    static constexpr int FrameExtra = 510 - 476;
    // The pause after each command of a read sequence.
    static constexpr int CommandPauseMs = 40;

    void AddLogLine(const std::string &text);
    TEventLog *EventLog() const { return listBox1_; }
    decoder::DecoderProtocol &Protocol() { return protocol_; }
    TSerialPort &SerialPort1() { return *serialPort1_; }
    THttpClient &HttpClient1() { return httpClient1_; }
    uint8_t LastSeenState() const { return lastState_; }
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

    // IBootloaderHost
    int32_t QueryInterface(const InterfaceId &iid, void **out) override;
    int32_t AddRef() override { return -1; }
    int32_t Release() override { return -1; }
    int32_t ProcessMessages() override;
    void StateChanged() override;
    void Output(const char16_t *text, int32_t code) override;
    WideString GetFlashFileName() override;
    WideString GetEepromFileName() override { return {}; }
    WideString GetImageFileName() override { return GetFlashFileName(); }
    WideString GetPassword() override;
    WideString GetBootSign() override { return u"norVEX"; }
    void GetTimeouts(BootloaderTimeouts &out) override;
    WideString GetEntryCommand() override;
    WideString GetExtraText1() override { return {}; }
    int32_t GetHostValue(int32_t flag) override { return flag == 0 ? 16908288 : -1; }
    WideString GetExtraText2() override { return {}; }
    IBootloaderLink *OpenConnection(int32_t index) override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // decoder::DecoderLineSink
    void SelectLastLogLine() override;
    void ShowSerialNumber(const std::string &value) override;
    void ShowFirmwareVersion(const std::string &value) override;
    void ShowHardwareRevision(const std::string &value) override;
    void ShowToneTable(const decoder::ToneTable &fields) override;

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

    void WriteCommand(const std::string &command);
    void PauseWithEvents();
    void SetStatusLine(const QString &text);

    QPushButton *Btn(const char *name) const;
    QLabel *Static(const char *name) const;
    QLineEdit *Edit(const char *name) const;

    std::unique_ptr<TSerialPort> serialPort1_;
    THttpClient httpClient1_;
    decoder::DecoderProtocol protocol_{*this};
    IntfPtr<IBootloader> loader_;
    std::string bootloaderProblem_;
    uint8_t lastState_ = 0;
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
};
