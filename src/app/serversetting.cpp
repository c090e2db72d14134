#include "serversetting.h"

#include "usersettings.h"

#include <QAction>
#include <QInputDialog>
#include <QSettings>
#include <QWidget>

#include <cstdlib>

namespace {

const QString kUpdateServerKey = QStringLiteral("UpdateServer");

QSettings UserSettings() { return QSettings(QStringLiteral("KarvenZop"), QStringLiteral("KarvenZop")); }

std::string ToolkitUserSetting(const std::string &key)
{
    return UserSettings().value(QString::fromStdString(key)).toString().toStdString();
}

} // namespace

bool EditUpdateServer(QWidget *parent)
{
    QString prompt = QStringLiteral("Update-Server (Host[:Port] oder https://Host[:Port]; leer: localhost):");
    if (const char *variable = std::getenv("KARVENZOP_UPDATE_SERVER"); variable && *variable)
        prompt += QStringLiteral("\nKARVENZOP_UPDATE_SERVER ist gesetzt und gilt vor dieser Einstellung.");
    QInputDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("UpdateServerDialog"));
    dialog.setWindowTitle(QStringLiteral("Update-Server"));
    dialog.setLabelText(prompt);
    dialog.setTextValue(UserSettings().value(kUpdateServerKey).toString());
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const QString server = dialog.textValue().trimmed();
    QSettings settings = UserSettings();
    if (server.isEmpty())
        settings.remove(kUpdateServerKey);
    else
        settings.setValue(kUpdateServerKey, server);
    return true;
}

void AttachUpdateServerSetting(QWidget *dialogParent, const QList<QWidget *> &widgets)
{
    // The window reads what it writes, also where the toolkit keeps its
    // settings elsewhere (its test mode).
    SetUserSettingReader(&ToolkitUserSetting);
    auto *action = new QAction(QStringLiteral("Update-Server…"), dialogParent);
    action->setObjectName(QStringLiteral("UpdateServerAction"));
    QObject::connect(action, &QAction::triggered, dialogParent, [dialogParent] { EditUpdateServer(dialogParent); });
    for (QWidget *widget : widgets) {
        widget->addAction(action);
        widget->setContextMenuPolicy(Qt::ActionsContextMenu);
    }
}
