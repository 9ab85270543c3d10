#include "config/OAuthSettings.h"

#include "config/ConnectionSecurity.h"
#include "config/IniFile.h"
#include "config/Settings.h"

#include <QUrl>

#include <mutex>

namespace lw::config {

namespace {

QString Section()
{
    return QString::fromLatin1(kOAuthSection);
}

struct ProviderName {
    OAuthProvider provider;
    const char* key;
};
constexpr ProviderName kProviders[] = {
    {OAuthProvider::Microsoft, "microsoft"},
    {OAuthProvider::Google, "google"},
    {OAuthProvider::Custom, "custom"},
};

} // namespace

QString ProviderKey(OAuthProvider provider)
{
    for (const ProviderName& p : kProviders)
        if (p.provider == provider) return QString::fromLatin1(p.key);
    return {};
}

OAuthProvider ProviderFromKey(const QString& key)
{
    for (const ProviderName& p : kProviders)
        if (key.trimmed().compare(QLatin1String(p.key), Qt::CaseInsensitive) == 0) return p.provider;
    return OAuthProvider::None;
}

OAuthSettings OAuthSettings::Load(const QString& folder)
{
    const IniFile ini = IniFile::Load(SettingsPath(folder, QString::fromLatin1(kSettingsFileName)));
    const auto value = [&](const char* key) { return ini.Value(Section(), QString::fromLatin1(key)).value_or(QString()); };
    OAuthSettings s;
    s.provider = ProviderFromKey(value("provider"));
    s.clientId = value("clientid");
    s.clientSecret = value("clientsecret");
    s.tenant = value("tenant");
    s.authorizeUrl = value("authurl");
    s.tokenUrl = value("tokenurl");
    s.scope = value("scope");
    bool ok = false;
    const int port = value("redirectport").toInt(&ok);
    s.redirectPort = ok && port > 0 && port <= 65535 ? port : 0;
    return s;
}

base::Status SaveOAuthSettings(const QString& folder, const OAuthSettings& settings)
{
    const std::lock_guard lock(SettingsFileMutex());
    const QString path = SettingsPath(folder, QString::fromLatin1(kSettingsFileName));
    QString error;
    std::optional<IniFile> ini = IniFile::LoadForUpdate(path, error);
    if (!ini) return base::Fail(error);
    const std::pair<const char*, QString> values[] = {
        {"provider", ProviderKey(settings.provider)},
        {"clientid", settings.clientId.trimmed()},
        {"clientsecret", settings.clientSecret.trimmed()},
        {"tenant", settings.tenant.trimmed()},
        {"authurl", settings.authorizeUrl.trimmed()},
        {"tokenurl", settings.tokenUrl.trimmed()},
        {"scope", settings.scope.simplified()},
    };
    bool changed = false;
    for (const auto& [key, value] : values) {
        const QString name = QString::fromLatin1(key);
        // A key never written stays absent while it is empty: an older file keeps its form.
        const std::optional<QString> old = ini->Value(Section(), name);
        if (old.value_or(QString()) == value || (!old && value.isEmpty())) continue;
        ini->SetValue(Section(), name, value);
        changed = true;
    }
    if (!changed) return {};
    qsizetype failedLine = -1;
    const bool saved = ini->Save(path, failedLine, error);
    return base::StatusOf(saved, error);
}

OAuthEndpoints EndpointsOf(const OAuthSettings& settings)
{
    OAuthEndpoints e;
    switch (settings.provider) {
    case OAuthProvider::Microsoft: {
        const QString tenant = settings.tenant.trimmed().isEmpty() ? QStringLiteral("common") : settings.tenant.trimmed();
        const QString authority = QStringLiteral("https://login.microsoftonline.com/") +
                                  QString::fromLatin1(QUrl::toPercentEncoding(tenant));
        e.authorizeUrl = authority + QStringLiteral("/oauth2/v2.0/authorize");
        e.tokenUrl = authority + QStringLiteral("/oauth2/v2.0/token");
        e.scope = QStringLiteral("https://outlook.office.com/POP.AccessAsUser.All "
                                 "https://outlook.office.com/SMTP.Send offline_access");
        break;
    }
    case OAuthProvider::Google:
        e.authorizeUrl = QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth");
        e.tokenUrl = QStringLiteral("https://oauth2.googleapis.com/token");
        e.scope = QStringLiteral("https://mail.google.com/");
        // Google hands out a refresh token only for offline access, and again only on consent.
        e.extraAuthorizeParameters = {{QStringLiteral("access_type"), QStringLiteral("offline")},
                                      {QStringLiteral("prompt"), QStringLiteral("consent")}};
        break;
    case OAuthProvider::Custom:
        e.authorizeUrl = settings.authorizeUrl.trimmed();
        e.tokenUrl = settings.tokenUrl.trimmed();
        e.scope = settings.scope.simplified();
        break;
    case OAuthProvider::None:
        break;
    }
    return e;
}

QString OAuthSettingsProblem(const OAuthSettings& settings)
{
    if (!settings.Enabled()) return QStringLiteral("OAuth2のプロバイダが選択されていません。");
    if (settings.clientId.trimmed().isEmpty()) return QStringLiteral("クライアントIDが入力されていません。");
    const OAuthEndpoints e = EndpointsOf(settings);
    if (e.authorizeUrl.isEmpty() || e.tokenUrl.isEmpty())
        return QStringLiteral("認可URLとトークンURLを入力してください。");
    if (e.scope.isEmpty()) return QStringLiteral("スコープを入力してください。");
    return {};
}

} // namespace lw::config
