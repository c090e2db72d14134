#include "librarylockout.h"

#include "eventlog.h"

#include <QAction>
#include <QTabWidget>

WhileLibraryWorks::WhileLibraryWorks(QTabWidget &pages, TEventLog &log)
    : pages_(pages), save_(log.findChild<QAction *>(QStringLiteral("LogSave")))
{
    SetEnabled(false);
}

WhileLibraryWorks::~WhileLibraryWorks() { SetEnabled(true); }

void WhileLibraryWorks::SetEnabled(bool enabled)
{
    for (int i = 0; i < pages_.count(); ++i)
        pages_.widget(i)->setEnabled(enabled);
    if (save_)
        save_->setEnabled(enabled);
}
