#include "toolkittranslation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

QTranslator *InstallToolkitTranslation(const QLocale &locale)
{
    // The system's Qt translations, else those shipped beside the program
    // (the Windows ZIP and installer carry them in "translations").
    for (const QString &folder : {QLibraryInfo::path(QLibraryInfo::TranslationsPath),
                                  QCoreApplication::applicationDirPath() + QStringLiteral("/translations")}) {
        auto *translator = new QTranslator(QCoreApplication::instance());
        if (translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), folder) &&
            QCoreApplication::installTranslator(translator))
            return translator;
        delete translator;
    }
    return nullptr;
}
