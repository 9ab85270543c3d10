#include "config/TokenStore.h"

#include "base/DurableFiles.h"
#include "config/Settings.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace lw::config {

QString RecordToJson(const TokenRecord& record)
{
    QJsonObject o;
    o.insert(QStringLiteral("refresh_token"), record.refreshToken);
    o.insert(QStringLiteral("access_token"), record.accessToken);
    o.insert(QStringLiteral("expires_at"), static_cast<double>(record.expiresAt));
    o.insert(QStringLiteral("signed_in_at"), static_cast<double>(record.signedInAt));
    if (!record.refusal.isEmpty()) o.insert(QStringLiteral("refusal"), record.refusal);
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

TokenRecord RecordFromJson(const QString& json)
{
    const QJsonObject o = QJsonDocument::fromJson(json.toUtf8()).object();
    TokenRecord r;
    r.refreshToken = o.value(QStringLiteral("refresh_token")).toString();
    r.accessToken = o.value(QStringLiteral("access_token")).toString();
    r.expiresAt = static_cast<qint64>(o.value(QStringLiteral("expires_at")).toDouble());
    r.signedInAt = static_cast<qint64>(o.value(QStringLiteral("signed_in_at")).toDouble());
    r.refusal = o.value(QStringLiteral("refusal")).toString();
    return r;
}

TokenFile::TokenFile(const QString& folder) : m_path(SettingsPath(folder, QString::fromLatin1(kTokenFileName))) {}

bool TokenFile::Exists() const
{
    return QFile::exists(m_path);
}

base::Result<std::optional<QString>> TokenFile::Read()
{
    QFile file(m_path);
    if (!file.exists()) return std::optional<QString>();
    if (!file.open(QIODevice::ReadOnly)) return base::Fail(m_path + QStringLiteral(": ") + file.errorString());
    return std::optional<QString>(QString::fromUtf8(file.readAll()));
}

base::Status TokenFile::Write(const QString& secret)
{
    std::string error;
    const QByteArray bytes = secret.toUtf8();
    if (!base::ReplaceFileContents(QFile::encodeName(m_path).toStdString(), std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())),
                                   error))
        return base::Fail(QString::fromStdString(error));
    return {};
}

base::Status TokenFile::Remove()
{
    if (!QFile::exists(m_path) || QFile::remove(m_path)) return {};
    return base::Fail(m_path + QStringLiteral(": cannot remove"));
}

} // namespace lw::config
