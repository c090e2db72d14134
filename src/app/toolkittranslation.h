#pragma once

#include <QLocale>

class QTranslator;

// Loads the toolkit's own translations (standard buttons such as "Cancel",
// file dialogs) for the user's language and installs them; returns the
// installed translator, or nullptr when there is none for the language.
QTranslator *InstallToolkitTranslation(const QLocale &locale = QLocale::system());
