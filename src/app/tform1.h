#pragma once

#include "decoderconnection.h"
#include "decoderreader.h"
#include "form1pages.h"
#include "handlerrunner.h"
#include "httpclient.h"
#include "serialport.h"
#include "updateservice.h"
#include "windowbootloaderhost.h"

#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The main window: six pages (built by BuildForm1Pages), the event log below
// them, and the handlers of every button with their wiring. Widgets carry
// the names other code and tests find them by. The connection and the
// sequences run in the session classes; the window turns clicks into their
// calls and their results into widgets, asking first (windowquestions.h)
// where something would be written or lost. It owns the bootloader
// library's host.
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
    TEventLog *EventLog() const { return widgets_.listBox1; }
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
    void CreateConnection();
    void AttachComponents();
    // A line from the decoder: its log line, its fields, then the last log line selected.
    void ShowDecoderLine(const decoder::DecoderLine &line);

    std::unique_ptr<session::DecoderConnection> connection_;
    Form1Widgets widgets_;
    WindowBootloaderHost bootloaderHost_{widgets_, [this] { StateChanged(); }};
    THttpClient httpClient1_;
    session::UpdateService updates_{httpClient1_};
    std::string bootloaderProblem_;
    int32_t progressMax_ = 100;
    HandlerRunner handlers_{*this};
    QObject *syncNotifier_ = nullptr;
    bool destroyed_ = false;
};
