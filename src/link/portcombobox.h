#pragma once

#include "portselect.h"

#include <QComboBox>

#include <functional>
#include <string>

class TCustomSerialPort;

// Drop-down list of one port setting (usually the port name). Selecting
// from code only changes the shown entry; only a pick by the user raises
// OnChange and, with AutoApply, writes the value to the port.
//
// Start-up of the main window's box, in this order:
//   SetPortProperty(cpPort); SetText("/dev/ttyS0"); SetItemIndex(0);
//   SetSerialPort(&SerialPort1);
class TPortComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TPortComboBox(QWidget *parent = nullptr);

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

    std::function<void(TPortComboBox &sender)> OnChange;

private:
    void ShowSelect();
    void UserPicked(int index);

    TPortSelect select_;
};
