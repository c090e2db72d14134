#include "windowbootloaderhost.h"

#include "displaytext.h"
#include "errorbox.h"
#include "eventlog.h"
#include "portcombobox.h"
#include "tform1.h"
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
    form_.widgets_.progressBar1->setMaximum(100);
    form_.widgets_.progressBar1->setValue(std::clamp(Loader()->GetProgress(), 0, 100));
}

int32_t WindowBootloaderHost::ProcessMessages()
{
    FollowProgress();
    QCoreApplication::processEvents();
    return 0;
}

void WindowBootloaderHost::StateChanged() { form_.StateChanged(); }

void WindowBootloaderHost::ShowConnectionReport(const std::vector<std::string> &lines)
{
    // Appended without moving the selection, in a fresh view; the lines
    // before stay kept for saving, copying all and the export.
    TEventLog &log = *form_.EventLog();
    log.ClearView();
    for (const std::string &line : lines)
        log.Append(line);
}

void WindowBootloaderHost::ShowBootloaderState(uint8_t state)
{
    form_.widgets_.Button("BitBtn11")->setEnabled(state != kStateWorking);
    if (state == kStateWorking)
        form_.widgets_.SetStatusLine(QStringLiteral("Working.."));
    else
        form_.widgets_.progressBar1->setValue(0);   // at rest outside the writing, as after a transfer
}

void WindowBootloaderHost::ShowStatus(const std::string &text) { form_.widgets_.SetStatusLine(AnsiToQString(text)); }

void WindowBootloaderHost::ReportProgramFailure(const std::string &message)
{
    ShowMessage(AnsiToQString(message), &form_);
}

void WindowBootloaderHost::Output(const char16_t *text, int32_t)
{
    form_.widgets_.SetStatusLine(QString::fromUtf16(text));
    form_.AddLogLine(Latin1FromWide(text));
    FollowProgress();
}

WideString WindowBootloaderHost::GetPassword()
{
    bool ok = false;
    const QString text = AskPassword(&form_, QStringLiteral("Password required"), QStringLiteral("Password"), &ok);
    return ok ? text.toStdU16String() : WideString();
}

std::string WindowBootloaderHost::ConnectionPortName() { return form_.widgets_.portComboBox1->Text(); }
