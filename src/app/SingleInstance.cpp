#include "app/SingleInstance.h"

#include <QDateTime>
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
    RemoveLeftoverRemovalGuard();
    // A live holder keeps a file lock on the lock file from just after creating it until it ends,
    // and removing a stale lock takes that file lock first: the removal succeeds only once the
    // holder is gone, whatever the file says. That covers a holder killed before it wrote its
    // process into the file (a file that names nobody never counts as stale otherwise) and a dead
    // holder whose process number has passed to a new process (numbers wrap after 32768 on many
    // systems). A live copy holds no file lock only between creating the file and locking it, so
    // a file that names nobody yet is given a moment first; the ".rmlock" beside it keeps two
    // starting copies from both removing it.
    if (!QFileInfo::exists(m_path)) return Outcome::InUse;
    if (HolderProcess() == 0) QThread::msleep(200);
    QLockFile removal(m_path + QStringLiteral(".rmlock"));
    if (removal.tryLock(0) && m_lock->removeStaleLockFile() && m_lock->tryLock(0)) return Outcome::Acquired;
    return Outcome::InUse;
}

void SingleInstance::RemoveLeftoverRemovalGuard() const
{
    // Whoever removes a stale lock first takes the guard ".rmlock" beside it, for a moment. A copy
    // killed in that moment leaves a guard that names no process, and every later removal of a
    // stale lock would wait for it to age (30 s). A guard older than any removal takes is
    // removed, under the same file lock test as a stale lock: never while its holder lives.
    const QString guardPath = m_path + QStringLiteral(".rmlock");
    const QFileInfo guard(guardPath);
    constexpr qint64 kGuardHeldAtMostMs = 1000;
    if (!guard.exists() || guard.lastModified().msecsTo(QDateTime::currentDateTime()) < kGuardHeldAtMostMs) return;
    QLockFile leftover(guardPath);
    leftover.removeStaleLockFile();
}

qint64 SingleInstance::HolderProcess() const
{
    qint64 pid = 0;
    QString hostname, appname;
    return m_lock->getLockInfo(&pid, &hostname, &appname) ? pid : 0;
}

QString SingleInstance::ProgramFolderLockPath(const QString& programFolder)
{
    return QDir(programFolder).filePath(QStringLiteral("larchwatcher.lock"));
}

} // namespace lw::app
