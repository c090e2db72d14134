#include "portcombobox.h"

#include "errorhandler.h"

#include <QSignalBlocker>

TPortComboBox::TPortComboBox(QWidget *parent) : QComboBox(parent)
{
    setEditable(false);
    select_.OnListChanged = [this] { ShowSelect(); };
    // activated comes only from the user, never from setCurrentIndex.
    connect(this, &QComboBox::activated, this, [this](int index) { Guarded([&] { UserPicked(index); }); });
}

void TPortComboBox::SetSerialPort(TCustomSerialPort *port)
{
    select_.SetSerialPort(port);
    ShowSelect();
}

void TPortComboBox::SetPortProperty(TPortProperty kind)
{
    select_.SetKind(kind);
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

void TPortComboBox::ShowSelect()
{
    const QSignalBlocker blocker(this);
    const auto &items = select_.Items();
    bool same = count() == static_cast<int>(items.size());
    for (int i = 0; same && i < count(); ++i)
        same = itemText(i) == QString::fromLocal8Bit(items[i]);
    if (!same) {
        clear();
        for (const auto &item : items)
            addItem(QString::fromLocal8Bit(item));
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
