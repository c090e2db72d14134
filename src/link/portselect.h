#pragma once

#include "serialtypes.h"

#include <functional>
#include <string>
#include <vector>

class TCustomSerialPort;

enum TPortProperty { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };

// Text forms of the enumerations, as a setup list shows them.
const std::vector<std::string> &PortPropertyTexts(TPortProperty kind);

// The choice behind a port-name box, without the widget: the attached port,
// which setting is offered, the item list, the selection, and the last value
// the user chose of each kind.
class TPortSelect {
public:
    TPortSelect() = default;
    ~TPortSelect();
    TPortSelect(const TPortSelect &) = delete;
    TPortSelect &operator=(const TPortSelect &) = delete;

    TCustomSerialPort *SerialPort() const { return port_; }
    // Selects the item matching the port's current value.
    void SetSerialPort(TCustomSerialPort *port);

    TPortProperty Kind() const { return kind_; }
    // Refills the list; for cpPort from EnumeratePorts() (ESerialPort 23).
    void SetKind(TPortProperty kind);

    bool AutoApply = false;

    const std::vector<std::string> &Items() const { return items_; }
    int ItemIndex() const { return index_; }
    void SetItemIndex(int index);

    // The selected item, or empty. Writing selects the item equal to the
    // text with letter case ignored, or changes nothing.
    std::string Text() const;
    void SetText(const std::string &text);

    // Reads the port list again (cpPort only); the selected item stays
    // selected while it is listed. True when the list changed.
    bool Refresh();
    // Nothing selected while the port is open: selects the open port's name.
    void SelectOpenPortIfNone();

    // A pick by the user: remembers the value and, with AutoApply, writes it
    // to the port.
    void Pick(int index);

    const std::string &ChosenPort() const { return chosenPort_; }
    TBaudRate ChosenBaudRate() const { return chosenBaudRate_; }
    TDataBits ChosenDataBits() const { return chosenDataBits_; }
    TStopBits ChosenStopBits() const { return chosenStopBits_; }
    TParityBits ChosenParity() const { return chosenParity_; }
    TFlowControl ChosenFlowControl() const { return chosenFlowControl_; }

    // Called when the list or selection changed other than by Pick (the
    // attached port went away).
    std::function<void()> OnListChanged;

    // Remote ports the user keeps (the window's setting RemotePorts),
    // listed with the local ones by a port-name box; unset: none.
    std::function<std::vector<std::string>()> ExtraPorts;

    // Where cpPort reads the tty class; for tests.
    std::string SysfsRoot = "/sys/class/tty";

private:
    void MatchPortValue();
    std::vector<std::string> PortItems() const;
    std::string PortValueText() const;
    int FindItem(const std::string &text) const;

    TCustomSerialPort *port_ = nullptr;
    TPortProperty kind_ = cpNone;
    std::vector<std::string> items_;
    int index_ = -1;
    std::string chosenPort_;
    TBaudRate chosenBaudRate_ = br9600;
    TDataBits chosenDataBits_ = dbEight;
    TStopBits chosenStopBits_ = sbOneStopBit;
    TParityBits chosenParity_ = prNone;
    TFlowControl chosenFlowControl_ = fcNone;
};
