#include "app/SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

namespace lw::app {

SingleInstance::SingleInstance(const QString& lockPath) : m_path(lockPath)
{
    if (m_path.isEmpty()) {
        QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        if (folder.isEmpty()) folder = QDir::tempPath();
        QDir().mkpath(folder);
        m_path = QDir(folder).filePath(QStringLiteral("larchwatcher.lock"));
    }
    m_lock = std::make_unique<QLockFile>(m_path);
    // Only a dead holder makes a lock stale: a copy that has run for days keeps it.
    m_lock->setStaleLockTime(0);
}

SingleInstance::Outcome SingleInstance::Acquire()
{
    if (m_lock->tryLock(0)) return Outcome::Acquired;
    return m_lock->error() == QLockFile::LockFailedError ? Outcome::InUse : Outcome::Failed;
}

QString SingleInstance::ProgramFolderLockPath(const QString& programFolder)
{
    return QDir(programFolder).filePath(QStringLiteral("larchwatcher.lock"));
}

} // namespace lw::app
