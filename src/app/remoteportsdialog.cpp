#include "remoteportsdialog.h"

#include "portcombobox.h"
#include "remoteportname.h"

#include <QAction>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QString kRemotePortsKey = QStringLiteral("RemotePorts");
// More would not fit a drop-down list anyone reads.
constexpr int kMaxRemotePorts = 64;

QSettings UserSettings() { return QSettings(QStringLiteral("KarvenZop"), QStringLiteral("KarvenZop")); }

bool Valid(const QString &name)
{
    RemotePortName parsed;
    return name.size() <= 300 && ParseRemotePortName(name.toStdString(), parsed);
}

} // namespace

std::vector<std::string> StoredRemotePorts()
{
    std::vector<std::string> names;
    // A hand-edited settings file may hold anything: only valid names are listed.
    for (const QString &name : UserSettings().value(kRemotePortsKey).toStringList())
        if (Valid(name) && names.size() < static_cast<size_t>(kMaxRemotePorts))
            names.push_back(name.toStdString());
    return names;
}

bool EditRemotePorts(QWidget *parent)
{
    QDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("RemotePortsDialog"));
    dialog.setWindowTitle(QStringLiteral("Ferngeräte"));
    auto *layout = new QVBoxLayout(&dialog);
    auto *label = new QLabel(QStringLiteral("Dekoder an Geräteservern, einer je Zeile:\n"
                                            "rfc2217://Host:Port oder rfc2217+tls://Host:Port"),
                             &dialog);
    label->setTextFormat(Qt::PlainText);
    layout->addWidget(label);
    auto *edit = new QPlainTextEdit(&dialog);
    edit->setObjectName(QStringLiteral("RemotePortsEdit"));
    QStringList current;
    for (const std::string &name : StoredRemotePorts())
        current << QString::fromStdString(name);
    edit->setPlainText(current.join(QLatin1Char('\n')));
    layout->addWidget(edit);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Abbrechen"));
    layout->addWidget(buttons);
    QStringList chosen;
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
        chosen.clear();
        for (QString line : edit->toPlainText().split(QLatin1Char('\n'))) {
            line = line.trimmed();
            if (line.isEmpty() || chosen.contains(line))
                continue;
            if (!Valid(line) || chosen.size() >= kMaxRemotePorts) {
                QMessageBox box(QMessageBox::Warning, QStringLiteral("Ferngeräte"),
                                chosen.size() >= kMaxRemotePorts
                                    ? QStringLiteral("Höchstens %1 Ferngeräte.").arg(kMaxRemotePorts)
                                    : QStringLiteral("Kein Ferngerät: %1").arg(line.left(300)),
                                QMessageBox::Ok, &dialog);
                box.setObjectName(QStringLiteral("RemotePortsRefused"));
                box.setTextFormat(Qt::PlainText);
                box.exec();
                return;
            }
            chosen << line;
        }
        dialog.accept();
    });
    if (dialog.exec() != QDialog::Accepted)
        return false;
    QSettings settings = UserSettings();
    if (chosen.isEmpty())
        settings.remove(kRemotePortsKey);
    else
        settings.setValue(kRemotePortsKey, chosen);
    return true;
}

void AttachRemotePortsSetting(QWidget *dialogParent, TPortComboBox *box)
{
    box->PortSelect().ExtraPorts = [] { return StoredRemotePorts(); };
    box->RefreshPorts();
    auto *action = new QAction(QStringLiteral("Ferngeräte…"), box);
    action->setObjectName(QStringLiteral("RemotePortsAction"));
    QObject::connect(action, &QAction::triggered, box, [dialogParent, box] {
        const std::vector<std::string> before = StoredRemotePorts();
        if (!EditRemotePorts(dialogParent))
            return;
        box->RefreshPorts();
        // With nothing chosen, the port just added is the one meant: connecting
        // right away must not end in "no port chosen".
        if (box->ItemIndex() >= 0)
            return;
        for (const std::string &name : StoredRemotePorts())
            if (std::find(before.begin(), before.end(), name) == before.end()) {
                box->SetText(name);
                return;
            }
    });
    box->addAction(action);
    box->setContextMenuPolicy(Qt::ActionsContextMenu);
}
