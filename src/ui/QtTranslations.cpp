#include "ui/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace lw::ui {

bool InstallQtTranslations(const QLocale& locale, QString& error)
{
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    // Owned by the application: translators must outlive every window that uses them.
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), folder)) {
        delete translator;
        error = QStringLiteral("no Qt translation qtbase_%1.qm in %2").arg(locale.name(), folder);
        return false;
    }
    if (!QCoreApplication::installTranslator(translator)) {
        delete translator;
        error = QStringLiteral("the Qt translation for %1 could not be installed").arg(locale.name());
        return false;
    }
    return true;
}

} // namespace lw::ui
