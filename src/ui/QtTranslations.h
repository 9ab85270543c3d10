#pragma once

#include <QLocale>
#include <QString>

namespace lw::ui {

// Loads Qt's own translations (standard buttons, file, print and preview dialogs) for locale
// and installs them into the application, so they read in the window's language. False, with
// the reason in error, when none exists for that language (Qt's English texts then stay).
[[nodiscard]] bool InstallQtTranslations(const QLocale& locale, QString& error);

} // namespace lw::ui
