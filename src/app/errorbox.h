#pragma once

#include <QMessageBox>
#include <QString>

#include <exception>
#include <string>

class QWidget;

// The caption of error boxes: the executable's file name up to its first
// ".", every letter after the first in lower case ("KarvenZop" → "Karvenzop").
QString ApplicationTitle(const QString &executablePath);

// 8-bit text for display by the one rule of text8bit.h: UTF-8 where it is
// valid UTF-8, else Windows-1252.
QString AnsiToQString(const std::string &text);

// The text an error box shows for an exception: its message, with the final
// "." the application adds.
QString ErrorBoxText(std::exception_ptr error);

// What the box shows below the message for an exception (the system's
// words, a remedy, where a file's line is); empty for most.
QString ErrorBoxDetails(std::exception_ptr error);
// The line under the message naming what was tried (a server's address).
QString ErrorBoxInformative(std::exception_ptr error);

// Installs the application's default error handler: a modal box with the
// error icon, OK, the application title and the message (and the details
// as the box's informative text).
void InstallDefaultErrorHandler(QWidget *parentProvider());
void ShowErrorBox(const QString &text, QWidget *parent, const QString &details = {},
                  const QString &informative = {});

// A plain message with an OK button, captioned with the application title;
// `informative` below it where there is more to say.
void ShowMessage(const QString &text, QWidget *parent, const QString &informative = {});

// A question whose safe answer "Abbrechen" is the default (Enter and Escape
// both decline); true only when the user pressed `proceed`. The box and its
// buttons are named `name` + "Box", "Yes" and "No"; an empty title is the
// program's.
bool AskBeforeProceeding(const QString &text, const QString &proceed, QWidget *parent,
                         const QString &name = QStringLiteral("Question"), const QString &title = QString(),
                         QMessageBox::Icon icon = QMessageBox::Warning);
