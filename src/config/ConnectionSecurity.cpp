#include "config/ConnectionSecurity.h"

#include "config/Settings.h"

#include <QUrl>

namespace lw::config {

namespace {

QString Encoded(const QString& text)
{
    // A key holds only letters, digits and "-._~%": no "=", ";" or "[" from a typed name.
    return QString::fromLatin1(QUrl::toPercentEncoding(text.trimmed()));
}

QString TlsKey(const QString& protocol, const QString& host, const QString& account)
{
    return QStringLiteral("tls.") + protocol + u'.' + Encoded(account) + u'@' + Encoded(host.toLower());
}

QString PinKey(const QString& host, int port)
{
    return QStringLiteral("pin.") + Encoded(host.toLower()) + u':' + QString::number(port);
}

QString Section()
{
    return QString::fromLatin1(kConnectionSection);
}

bool Update(const QString& folder, const QString& key, const QString& value, QString& error,
            const QString& absentMeans = QString())
{
    const std::lock_guard lock(SettingsFileMutex());
    const QString path = SettingsPath(folder, QString::fromLatin1(kSettingsFileName));
    std::optional<IniFile> ini = IniFile::LoadForUpdate(path, error);
    if (!ini) return false;
    if (ini->Value(Section(), key).value_or(absentMeans) == value) return true;
    ini->SetValue(Section(), key, value);
    qsizetype failedLine = -1;
    return ini->Save(path, failedLine, error);
}

} // namespace

ConnectionSecurity ConnectionSecurity::Load(const QString& folder)
{
    ConnectionSecurity security;
    security.m_ini = IniFile::Load(SettingsPath(folder, QString::fromLatin1(kSettingsFileName)));
    security.m_requireAlways = security.m_ini.Value(Section(), QStringLiteral("requiretls")) == QStringLiteral("1");
    return security;
}

bool ConnectionSecurity::TlsRequired(const QString& protocol, const QString& host, const QString& account) const
{
    return m_requireAlways || m_ini.Value(Section(), TlsKey(protocol, host, account)).has_value();
}

QString ConnectionSecurity::PinnedFingerprint(const QString& host, int port) const
{
    return m_ini.Value(Section(), PinKey(host, port)).value_or(QString());
}

base::Status RememberTls(const QString& folder, const QString& protocol, const QString& host,
                         const QString& account)
{
    QString error;
    const bool done = Update(folder, TlsKey(protocol, host, account), QStringLiteral("1"), error);
    return base::StatusOf(done, error);
}

base::Status SetRequireTls(const QString& folder, bool on)
{
    QString error;
    const bool done = Update(folder, QStringLiteral("requiretls"), on ? QStringLiteral("1") : QStringLiteral("0"),
                             error, QStringLiteral("0"));
    return base::StatusOf(done, error);
}

base::Status TrustCertificate(const QString& folder, const QString& host, int port, const QString& fingerprint)
{
    QString error;
    const bool done = Update(folder, PinKey(host, port), fingerprint, error);
    return base::StatusOf(done, error);
}

std::mutex& SettingsFileMutex()
{
    static std::mutex mutex;
    return mutex;
}

} // namespace lw::config
