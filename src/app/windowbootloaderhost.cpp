#include "windowbootloaderhost.h"

#include "displaytext.h"
#include "errorbox.h"
#include "eventlog.h"
#include "form1pages.h"
#include "portcombobox.h"
#include "windowquestions.h"

#include <QCoreApplication>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

void WindowBootloaderHost::FollowProgress()
{
    // While the library writes, the bar shows its percentage; the transfers
    // set their own maximum at their work-begin.
    if (LastSeenState() != kStateWorking || !Loader())
        return;
    widgets_.progressBar1->setMaximum(100);
    widgets_.progressBar1->setValue(std::clamp(Loader()->GetProgress(), 0, 100));
}

int32_t WindowBootloaderHost::ProcessMessages()
{
    FollowProgress();
    QCoreApplication::processEvents();
    return 0;
}

void WindowBootloaderHost::StateChanged() { stateChanged_(); }

void WindowBootloaderHost::ShowConnectionReport(const std::vector<std::string> &lines)
{
    // Appended without moving the selection, in a fresh view; the lines
    // before stay kept for saving, copying all and the export.
    TEventLog &log = *widgets_.listBox1;
    log.ClearView();
    for (const std::string &line : lines)
        log.Append(line);
}

void WindowBootloaderHost::ShowBootloaderState(uint8_t state)
{
    widgets_.Button("BitBtn11")->setEnabled(state != kStateWorking);
    if (state == kStateWorking)
        widgets_.SetStatusLine(QStringLiteral("Working.."));
    else
        widgets_.progressBar1->setValue(0);   // at rest outside the writing, as after a transfer
}

void WindowBootloaderHost::ShowStatus(const std::string &text) { widgets_.SetStatusLine(AnsiToQString(text)); }

void WindowBootloaderHost::ReportProgramFailure(const std::string &message)
{
    ShowMessage(AnsiToQString(message), widgets_.form);
}

void WindowBootloaderHost::Output(const char16_t *text, int32_t)
{
    widgets_.SetStatusLine(QString::fromUtf16(text));
    AddLogLine(Latin1FromWide(text));
    FollowProgress();
}

WideString WindowBootloaderHost::GetPassword()
{
    bool ok = false;
    const QString text = AskPassword(widgets_.form, QStringLiteral("Password required"), QStringLiteral("Password"), &ok);
    return ok ? text.toStdU16String() : WideString();
}

std::string WindowBootloaderHost::ConnectionPortName() { return widgets_.portComboBox1->Text(); }

void WindowBootloaderHost::AddLogLine(const std::string &text)
{
    widgets_.listBox1->Append(text);
    widgets_.listBox1->FollowLastLine();
}
