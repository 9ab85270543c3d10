#include "config/DesktopSettings.h"

#include "config/IniFile.h"
#include "config/Settings.h"

namespace lw::config {

namespace {

const QString kMailNoticesKey = QStringLiteral("mailnotices");
const QString kCloseHintKey = QStringLiteral("closehintshown");

QString Path(const QString& folder) { return SettingsPath(folder, QString::fromLatin1(kSettingsFileName)); }

} // namespace

DesktopSettings LoadDesktopSettings(const QString& folder)
{
    const IniFile ini = IniFile::Load(Path(folder));
    const QString section = QString::fromLatin1(kDesktopSection);
    DesktopSettings settings;
    bool ok = false;
    const int notices = ini.Value(section, kMailNoticesKey).value_or(QString()).toInt(&ok);
    if (ok && notices >= 0 && notices <= 2) settings.mailNotices = static_cast<MailNotices>(notices);
    settings.closeHintShown = ini.Value(section, kCloseHintKey).value_or(QString()) == QStringLiteral("1");
    return settings;
}

base::Status SaveDesktopSettings(const QString& folder, const DesktopSettings& settings)
{
    const QString path = Path(folder);
    QString error;
    auto ini = IniFile::LoadForUpdate(path, error);
    if (!ini) return base::Fail(error);
    const QString section = QString::fromLatin1(kDesktopSection);
    ini->SetValue(section, kMailNoticesKey, QString::number(static_cast<int>(settings.mailNotices)));
    ini->SetValue(section, kCloseHintKey, settings.closeHintShown ? QStringLiteral("1") : QStringLiteral("0"));
    qsizetype failedLine = -1;
    const bool saved = ini->Save(path, failedLine, error);
    return base::StatusOf(saved, error);
}

} // namespace lw::config
