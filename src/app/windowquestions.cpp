#include "windowquestions.h"

#include "displaytext.h"
#include "errorbox.h"
#include "updateservice.h"

#include <QDir>
#include <QInputDialog>
#include <QLineEdit>

#include <algorithm>

QString AskPassword(QWidget *parent, const QString &title, const QString &prompt, bool *ok)
{
    QInputDialog dialog(parent);
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setTextEchoMode(QLineEdit::Password);
    // Wide enough for the whole title, which the window manager would cut.
    const int titleWidth = dialog.fontMetrics().horizontalAdvance(title) + 160;
    dialog.resize(std::max(dialog.sizeHint().width(), titleWidth), dialog.sizeHint().height());
    const bool accepted = dialog.exec() == QDialog::Accepted;
    if (ok)
        *ok = accepted;
    return accepted ? dialog.textValue() : QString();
}

bool ConfirmFirmwareUpdate(QWidget *parent, const session::FirmwareOffer &offer)
{
    const QString target = AnsiToQString(offer.image.target);
    const QString version = AnsiToQString(offer.image.version);
    const QString decoder = offer.decoderVersion.empty() ? QStringLiteral("nicht gelesen") : AnsiToQString(offer.decoderVersion);
    QString text = QStringLiteral("Firmware in den Dekoder schreiben?\n\n"
                                  "Firmware-Datei: %1, Version %2\n"
                                  "Dekoder: Version %3\n")
                       .arg(target, version, decoder);
    text += offer.download.isSigned
        ? QStringLiteral("Signiert mit Schlüssel %1\n").arg(QString::fromStdString(offer.download.keyId))
        : QStringLiteral("\nACHTUNG: Die Firmware-Datei ist nicht signiert, ihre Herkunft ist nicht geprüft.\n");
    if (offer.downgrade)
        text += QStringLiteral("\nACHTUNG: Version %1 ist älter als die des Dekoders (%2): ein Downgrade.\n")
                    .arg(version, decoder);
    // The working folder is hidden on Windows (%APPDATA%): named before it is written.
    text += QStringLiteral("\nGespeichert wird sie als %1.\n")
                .arg(QDir::toNativeSeparators(QDir::current().absoluteFilePath(QStringLiteral("firmware.acy"))));
    text += QStringLiteral("\nWährend des Updates den Dekoder nicht trennen.");
    const QString title = QStringLiteral("Dekoder Firmware-Update");
    const bool write = AskBeforeProceeding(text, QStringLiteral("Update durchführen"), parent,
                                           QStringLiteral("FirmwareConfirm"), title, QMessageBox::Question);
    if (!write || !offer.downgrade)
        return write;
    return AskBeforeProceeding(
        QStringLiteral("Wirklich von Version %1 auf die ältere Version %2 zurückgehen?").arg(decoder, version),
        QStringLiteral("Downgrade durchführen"), parent, QStringLiteral("FirmwareDowngrade"), title,
        QMessageBox::Question);
}

bool ConfirmUnsignedTool(QWidget *parent)
{
    return AskBeforeProceeding(QStringLiteral("ZOP-Update.exe ist nicht signiert: niemand bürgt für ihre Herkunft.\n\n"
                                              "Trotzdem speichern?"),
                               QStringLiteral("Speichern"), parent, QStringLiteral("ToolUnsigned"),
                               QStringLiteral("Neue ZOP herunterladen"), QMessageBox::Question);
}

bool ConfirmListSaveLosingEntries(QWidget *parent, size_t lost)
{
    return AskBeforeProceeding(QStringLiteral("Einträge in \"substi.txt\", die nicht in der Liste stehen: %1.\n"
                                              "Beim Speichern gehen sie verloren.")
                                   .arg(lost),
                               QStringLiteral("Trotzdem speichern"), parent);
}

bool ConfirmDiscardListEdits(QWidget *parent)
{
    return AskBeforeProceeding(QStringLiteral("Änderungen an der Liste verwerfen?"), QStringLiteral("Verwerfen"), parent,
                               QStringLiteral("DiscardListEdits"), QString(), QMessageBox::Question);
}
