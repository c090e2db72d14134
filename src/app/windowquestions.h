#pragma once

#include <QString>

#include <cstddef>

class QWidget;

namespace session {
struct FirmwareOffer;
}

// Owns the questions the main window asks before it writes or discards
// something, each with "Abbrechen" as its default answer, and its password
// prompts. True means go ahead.

// An empty text and false in `ok` when the user cancels.
QString AskPassword(QWidget *parent, const QString &title, const QString &prompt, bool *ok = nullptr);
// Names the fetched image, its signature and a downgrade (asked twice).
bool ConfirmFirmwareUpdate(QWidget *parent, const session::FirmwareOffer &offer);
bool ConfirmUnsignedTool(QWidget *parent);
// Saving the list over a file that holds `lost` entries the list does not show.
bool ConfirmListSaveLosingEntries(QWidget *parent, size_t lost);
// Loading a list or closing the window over edits not saved.
bool ConfirmDiscardListEdits(QWidget *parent);
