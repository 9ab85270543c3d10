#include "config/TokenStore.h"

#include "base/DurableFiles.h"
#include "base/PosixFile.h"
#include "config/Settings.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

SecretStore::ReadResult TokenFile::Read(QString& secret, QString& error)
{
    QFile file(m_path);
    if (!file.exists()) return ReadResult::Missing;
    if (!file.open(QIODevice::ReadOnly)) {
        error = m_path + QStringLiteral(": ") + file.errorString();
        return ReadResult::Unavailable;
    }
    secret = QString::fromUtf8(file.readAll());
    return ReadResult::Found;
}

bool TokenFile::Write(const QString& secret, QString& error)
{
    const std::string path = QFile::encodeName(m_path).toStdString();
    const std::string temp = path + ".tmp";
    const QByteArray bytes = secret.toUtf8();
    bool ok = false;
    {
        base::UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, base::kOwnerOnlyFile));
        // A temporary file left by a crash keeps its old mode when reopened.
        ok = fd.Get() >= 0 && ::fchmod(fd.Get(), base::kOwnerOnlyFile) == 0 &&
             base::WriteAll(fd.Get(), bytes.constData(), static_cast<size_t>(bytes.size())) &&
             ::fsync(fd.Get()) == 0 && fd.Close();
        if (!ok) error = QString::fromStdString(base::SystemReason("cannot write", temp));
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        error = QString::fromStdString(base::SystemReason("cannot rename", temp));
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    std::string reason;
    if (!base::FlushFiles({path}, reason)) {
        error = QString::fromStdString(reason);
        return false;
    }
    return true;
}

bool TokenFile::Remove(QString& error)
{
    if (!QFile::exists(m_path) || QFile::remove(m_path)) return true;
    error = m_path + QStringLiteral(": cannot remove");
    return false;
}

} // namespace lw::config
