#include "workingfolder.h"

#include "errorbox.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QUrl>
#include <QWidget>

void AttachWorkingFolderEntry(QWidget *parent, const QList<QWidget *> &widgets)
{
    auto *action = new QAction(QStringLiteral("Arbeitsordner öffnen"), parent);
    action->setObjectName(QStringLiteral("WorkingFolderAction"));
    QObject::connect(action, &QAction::triggered, parent, [parent] {
        const QString folder = QDir::currentPath();
        // Without a file manager the user still learns where to look.
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
            ShowErrorBox(QStringLiteral("Der Arbeitsordner kann nicht geöffnet werden."), parent, {},
                         QDir::toNativeSeparators(folder));
    });
    for (QWidget *widget : widgets) {
        widget->addAction(action);
        widget->setContextMenuPolicy(Qt::ActionsContextMenu);
    }
}
