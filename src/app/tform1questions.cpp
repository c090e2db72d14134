// The questions the window asks: passwords, and before anything is written.
#include "tform1.h"

#include "displaytext.h"
#include "errorbox.h"

#include <QDir>
#include <QInputDialog>
#include <QLineEdit>

#include <algorithm>

QString TForm1::AskPassword(const QString &title, const QString &prompt, bool *ok)
{
    QInputDialog dialog(this);
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

bool TForm1::ConfirmFirmwareUpdate(const session::FirmwareOffer &offer)
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
    bool write = AskBeforeProceeding(text, QStringLiteral("Update durchführen"), this, QStringLiteral("FirmwareConfirm"),
                                     title, QMessageBox::Question);
    if (write && offer.downgrade)
        write = AskBeforeProceeding(QStringLiteral("Wirklich von Version %1 auf die ältere Version %2 zurückgehen?")
                                        .arg(decoder, version),
                                    QStringLiteral("Downgrade durchführen"), this, QStringLiteral("FirmwareDowngrade"),
                                    title, QMessageBox::Question);
    if (write)
        return true;
    AddLogLine("Firmware-Update abgebrochen, Dekoder und Dateien unverändert.");
    return false;
}
