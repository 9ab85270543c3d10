#include "app/SingleInstance.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

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
    if (m_lock->error() != QLockFile::LockFailedError) return Outcome::Failed;
    // A copy killed between creating the lock file and writing its process into it leaves a file
    // that names no holder, which would never count as stale. A live copy writes it at once, so
    // one still unreadable a moment later is taken over; the ".rmlock" beside it keeps two
    // starting copies from both doing so.
    if (HoldsNoProcess()) {
        QThread::msleep(200);
        QLockFile removal(m_path + QStringLiteral(".rmlock"));
        if (HoldsNoProcess() && removal.tryLock(0) && HoldsNoProcess() && m_lock->removeStaleLockFile() &&
            m_lock->tryLock(0))
            return Outcome::Acquired;
    }
    return Outcome::InUse;
}

bool SingleInstance::HoldsNoProcess() const
{
    qint64 pid = 0;
    QString hostname, appname;
    return QFileInfo::exists(m_path) && !m_lock->getLockInfo(&pid, &hostname, &appname);
}

QString SingleInstance::ProgramFolderLockPath(const QString& programFolder)
{
    return QDir(programFolder).filePath(QStringLiteral("larchwatcher.lock"));
}

} // namespace lw::app
