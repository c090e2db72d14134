#pragma once

#include "portselect.h"
#include "portwatch.h"
#include "seriallink.h"

#include <QComboBox>

#include <functional>
#include <memory>
#include <string>

class QTimer;
class TCustomSerialPort;

// Drop-down list of one port setting (usually the port name). Selecting
// from code only changes the shown entry; only a pick by the user raises
// OnChange and, with AutoApply, writes the value to the port.
//
// Start-up of the main window's box, in this order:
//   SetPortProperty(cpPort); SetText("/dev/ttyS0"); SetItemIndex(0);
//   SetSerialPort(&SerialPort1);
//
// A port-name box follows the devices: its list is read again when the user
// opens it and when devices or virtual ports come and go, the choice kept
// while it is listed; an entry's tooltip says what the device is. The port
// last opened is remembered for the user and chosen at the next start when
// it is listed.
class TPortComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TPortComboBox(QWidget *parent = nullptr);
    ~TPortComboBox() override;

    TPortSelect &PortSelect() { return select_; }

    TCustomSerialPort *SerialPort() const { return select_.SerialPort(); }
    void SetSerialPort(TCustomSerialPort *port);
    TPortProperty PortProperty() const { return select_.Kind(); }
    void SetPortProperty(TPortProperty kind);
    bool AutoApply() const { return select_.AutoApply; }
    void SetAutoApply(bool value) { select_.AutoApply = value; }

    std::string Text() const { return select_.Text(); }
    void SetText(const std::string &text);
    int ItemIndex() const { return select_.ItemIndex(); }
    void SetItemIndex(int index);

    // Reads the port list again now (what opening the box does).
    void RefreshPorts();

    std::function<void(TPortComboBox &sender)> OnChange;

    void showPopup() override;

private:
    void ShowSelect();
    void UserPicked(int index);
    void WatchPorts();

    TPortSelect select_;
    PortWatch watch_;
    QObject *watchNotifier_ = nullptr;
    QTimer *settle_ = nullptr;
    TSerialLink openedLink_;
    TCustomSerialPort *linkedPort_ = nullptr;
};
