#include "portcombobox.h"

#include "errorhandler.h"
#include "portlist.h"
#include "serialport.h"
#include "watchnotifier.h"

#include <QSettings>
#include <QSignalBlocker>
#include <QTimer>

namespace {

// Per user, in the user's configuration folder.
QSettings UserSettings() { return QSettings(QStringLiteral("KarvenZop"), QStringLiteral("KarvenZop")); }
const QString kLastPortKey = QStringLiteral("Connection/LastPort");

} // namespace

TPortComboBox::TPortComboBox(QWidget *parent) : QComboBox(parent)
{
    setEditable(false);
    select_.OnListChanged = [this] { ShowSelect(); };
    // activated comes only from the user, never from setCurrentIndex.
    connect(this, &QComboBox::activated, this, [this](int index) { Guarded([&] { UserPicked(index); }); });
    openedLink_.ConnectionChanged = [this](bool open) {
        if (open && linkedPort_ && select_.Kind() == cpPort) {
            UserSettings().setValue(kLastPortKey, QString::fromLocal8Bit(linkedPort_->Port()));
            select_.SelectOpenPortIfNone();
            ShowSelect();
        }
    };
}

TPortComboBox::~TPortComboBox()
{
    // The port may have gone first; the selection forgot it then.
    if (linkedPort_ && select_.SerialPort() == linkedPort_)
        linkedPort_->DetachLink(&openedLink_);
}

void TPortComboBox::SetSerialPort(TCustomSerialPort *port)
{
    if (linkedPort_ && select_.SerialPort() == linkedPort_)
        linkedPort_->DetachLink(&openedLink_);
    linkedPort_ = nullptr;
    select_.SetSerialPort(port);
    if (port && select_.Kind() == cpPort) {
        port->AttachLink(&openedLink_);
        linkedPort_ = port;
        // The port the user last opened wins over the stored name, if it is here.
        const std::string last = UserSettings().value(kLastPortKey).toString().toLocal8Bit().toStdString();
        if (!last.empty())
            select_.SetText(last);
    }
    ShowSelect();
}

void TPortComboBox::SetPortProperty(TPortProperty kind)
{
    select_.SetKind(kind);
    if (kind == cpPort)
        WatchPorts();
    ShowSelect();
}

void TPortComboBox::SetText(const std::string &text)
{
    select_.SetText(text);
    ShowSelect();
}

void TPortComboBox::SetItemIndex(int index)
{
    select_.SetItemIndex(index);
    ShowSelect();
}

void TPortComboBox::RefreshPorts()
{
    if (select_.Refresh())
        ShowSelect();
}

void TPortComboBox::showPopup()
{
    Guarded([this] { RefreshPorts(); });
    QComboBox::showPopup();
}

void TPortComboBox::WatchPorts()
{
    if (watchNotifier_ || !watch_.Start(PortFolders()))
        return;
    // A device brings several entries at once (node, by-id link): read the
    // list once they have settled.
    settle_ = new QTimer(this);
    settle_->setSingleShot(true);
    settle_->setInterval(150);
    connect(settle_, &QTimer::timeout, this, [this] { Guarded([this] { RefreshPorts(); }); });
    watchNotifier_ = NotifyWhenReady(watch_.Descriptor(), this, [this] {
        if (watch_.TakeChanges())
            settle_->start();
    });
}

void TPortComboBox::ShowSelect()
{
    const QSignalBlocker blocker(this);
    const auto &items = select_.Items();
    bool same = count() == static_cast<int>(items.size());
    for (int i = 0; same && i < count(); ++i)
        same = itemText(i) == QString::fromLocal8Bit(items[i]);
    if (!same) {
        clear();
        for (const auto &item : items) {
            addItem(QString::fromLocal8Bit(item));
            if (select_.Kind() == cpPort) {
                const std::string description = PortDescription(item);
                if (!description.empty())
                    setItemData(count() - 1, QString::fromLocal8Bit(description), Qt::ToolTipRole);
            }
        }
    }
    setCurrentIndex(select_.ItemIndex());
}

void TPortComboBox::UserPicked(int index)
{
    select_.Pick(index);
    ShowSelect();
    if (OnChange)
        OnChange(*this);
}
