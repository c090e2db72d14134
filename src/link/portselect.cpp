#include "portselect.h"

#include "portlist.h"
#include "serialport.h"

#include <algorithm>

namespace {

template <class E>
E MemberFromText(TPortProperty kind, const std::string &text, E fallback)
{
    const auto &texts = PortPropertyTexts(kind);
    for (size_t i = 0; i < texts.size(); ++i)
        if (SamePortText(texts[i], text))
            return static_cast<E>(i);
    return fallback;
}

} // namespace

const std::vector<std::string> &PortPropertyTexts(TPortProperty kind)
{
    static const std::vector<std::string> kNone;
    static const std::vector<std::string> kBaud = {"Custom", "110",   "300",   "600",   "1200",  "2400",
                                                   "4800",   "9600",  "14400", "19200", "38400", "56000",
                                                   "57600",  "115200", "128000", "256000"};
    static const std::vector<std::string> kDataBits = {"5", "6", "7", "8"};
    static const std::vector<std::string> kStopBits = {"1", "1.5", "2"};
    static const std::vector<std::string> kParity = {"None", "Odd", "Even", "Mark", "Space"};
    static const std::vector<std::string> kFlow = {"Hardware", "Software", "None", "Custom"};
    switch (kind) {
    case cpBaudRate: return kBaud;
    case cpDataBits: return kDataBits;
    case cpStopBits: return kStopBits;
    case cpParity: return kParity;
    case cpFlowControl: return kFlow;
    default: return kNone;
    }
}

TPortSelect::~TPortSelect()
{
    if (port_)
        port_->RemoveFreeNotification(this);
}

void TPortSelect::SetSerialPort(TCustomSerialPort *port)
{
    if (port_ == port)
        return;
    if (port_)
        port_->RemoveFreeNotification(this);
    port_ = port;
    if (!port_)
        return;
    port_->AddFreeNotification(this, [this] {
        port_ = nullptr;
        if (!items_.empty())
            index_ = 0;
        if (OnListChanged)
            OnListChanged();
    });
    MatchPortValue();
}

void TPortSelect::SetKind(TPortProperty kind)
{
    std::vector<std::string> items = kind == cpPort ? PortItems() : PortPropertyTexts(kind);
    kind_ = kind;
    items_ = std::move(items);
    index_ = -1;
    if (items_.empty())
        return;
    if (port_)
        MatchPortValue();
    else
        index_ = 0;
}

std::vector<std::string> TPortSelect::PortItems() const
{
    std::vector<std::string> items = EnumeratePorts(SysfsRoot);
    if (!ExtraPorts)
        return items;
    for (std::string &extra : ExtraPorts())
        if (std::find(items.begin(), items.end(), extra) == items.end())
            items.push_back(std::move(extra));
    SortPortNames(items);
    return items;
}

bool TPortSelect::Refresh()
{
    if (kind_ != cpPort)
        return false;
    std::vector<std::string> items = PortItems();
    // The open port stays listed after its device went: the next toggle
    // hands its name on and closes it, rather than trying an empty name.
    if (port_ && port_->Connected() && !port_->Port().empty() &&
        std::find(items.begin(), items.end(), port_->Port()) == items.end()) {
        items.push_back(port_->Port());
        SortPortNames(items);
    }
    if (items == items_)
        return false;
    const std::string selected = Text();
    items_ = std::move(items);
    index_ = -1;
    for (size_t i = 0; i < items_.size() && !selected.empty(); ++i)
        if (items_[i] == selected)
            index_ = static_cast<int>(i);
    SelectOpenPortIfNone();
    return true;
}

void TPortSelect::SelectOpenPortIfNone()
{
    // A device that went away took the selection with it; once its port is
    // open again the toggle must hand on that name, not an empty one.
    if (index_ < 0 && kind_ == cpPort && port_ && port_->Connected())
        index_ = FindItem(port_->Port());
}

void TPortSelect::SetItemIndex(int index)
{
    if (index >= -1 && index < static_cast<int>(items_.size()))
        index_ = index;
}

std::string TPortSelect::Text() const
{
    return index_ >= 0 && index_ < static_cast<int>(items_.size()) ? items_[index_] : std::string();
}

void TPortSelect::SetText(const std::string &text)
{
    const int found = FindItem(text);
    if (found >= 0)
        index_ = found;
}

int TPortSelect::FindItem(const std::string &text) const
{
    for (size_t i = 0; i < items_.size(); ++i)
        if (SamePortText(items_[i], text))
            return static_cast<int>(i);
    return -1;
}

std::string TPortSelect::PortValueText() const
{
    auto text = [this](int member) {
        const auto &texts = PortPropertyTexts(kind_);
        return member >= 0 && member < static_cast<int>(texts.size()) ? texts[member] : std::string();
    };
    switch (kind_) {
    case cpPort: return port_->Port();
    case cpBaudRate: return text(port_->BaudRate());
    case cpDataBits: return text(port_->DataBits());
    case cpStopBits: return text(port_->StopBits());
    case cpParity: return text(port_->Parity().Bits());
    case cpFlowControl: return text(port_->FlowControl().FlowControl());
    default: return {};
    }
}

void TPortSelect::MatchPortValue()
{
    if (!port_ || kind_ == cpNone)
        return;
    index_ = FindItem(PortValueText());
    if (kind_ == cpPort && index_ >= 0)
        chosenPort_ = items_[index_];
}

void TPortSelect::Pick(int index)
{
    SetItemIndex(index);
    const std::string text = Text();
    switch (kind_) {
    case cpNone: break;
    case cpPort: chosenPort_ = text; break;
    case cpBaudRate: chosenBaudRate_ = MemberFromText(kind_, text, br9600); break;
    case cpDataBits: chosenDataBits_ = MemberFromText(kind_, text, dbEight); break;
    case cpStopBits: chosenStopBits_ = MemberFromText(kind_, text, sbOneStopBit); break;
    case cpParity: chosenParity_ = MemberFromText(kind_, text, prNone); break;
    case cpFlowControl: chosenFlowControl_ = MemberFromText(kind_, text, fcCustom); break;
    }
    if (!AutoApply || !port_)
        return;
    switch (kind_) {
    case cpNone: break;
    case cpPort: port_->SetPort(chosenPort_); break;
    case cpBaudRate: port_->SetBaudRate(chosenBaudRate_); break;
    case cpDataBits: port_->SetDataBits(chosenDataBits_); break;
    case cpStopBits: port_->SetStopBits(chosenStopBits_); break;
    case cpParity: port_->Parity().SetBits(chosenParity_); break;
    case cpFlowControl: port_->FlowControl().SetFlowControl(chosenFlowControl_); break;
    }
}
