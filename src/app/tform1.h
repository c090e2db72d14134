#pragma once

#include "decoderprotocol.h"

#include <QWidget>

#include <map>
#include <string>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class TEventLog;

// The designed layout assumes an 8-point sans serif at 96 dpi (11 pixels);
// Liberation Sans has the metrics closest to it.
void ApplyWindowFont();

// The main window: six pages, the event log below them, and the handlers of
// every button. Widgets carry the names other code and tests find them by.
class TForm1 : public QWidget, private decoder::DecoderLineSink {
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

    void AddLogLine(const std::string &text);
    TEventLog *EventLog() const { return listBox1_; }
    decoder::DecoderProtocol &Protocol() { return protocol_; }

    // Handlers, named after the component and event they serve.
    void FormCreate();
    void FormDestroy();
    void CheckBox34Click();
    void BitBtn5Click();
    void ComboBox3Change(int index);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // decoder::DecoderLineSink
    void SelectLastLogLine() override;
    void ShowSerialNumber(const std::string &value) override;
    void ShowFirmwareVersion(const std::string &value) override;
    void ShowHardwareRevision(const std::string &value) override;
    void ShowToneTable(const decoder::ToneTable &fields) override;

    void BuildPageGeneral(QWidget *page);
    void BuildPageFilter(QWidget *page);
    void BuildPageSubstitution(QWidget *page);
    void BuildPageSelectiveCall(QWidget *page);
    void BuildPageFirmware(QWidget *page);
    void BuildPageService(QWidget *page);

    // Connects a button's click to a handler run under the default error handler.
    template <class F>
    void OnClick(QPushButton *button, F handler);

    QWidget *W(const char *name) const;
    QPushButton *Btn(const char *name) const;
    QLabel *Static(const char *name) const;
    QLineEdit *Edit(const char *name) const;

    decoder::DecoderProtocol protocol_{*this};
    QTabWidget *pageControl1_ = nullptr;
    TEventLog *listBox1_ = nullptr;
    QCheckBox *checkBox34_ = nullptr;
    QComboBox *comboBox3_ = nullptr;
    bool destroyed_ = false;
};
