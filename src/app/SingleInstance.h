#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

namespace lw::app {

// Holds a lock that marks a running copy of the program: the per-user one of the window, or the
// one of a program folder. A lock left behind by a crashed run is taken over; a live holder is
// never disturbed.
class SingleInstance {
public:
    enum class Outcome {
        Acquired,  // this process now holds the lock
        InUse,     // another running copy holds it
        Failed,    // the lock file could not be made (folder missing or not writable)
    };

    // lockPath empty: "larchwatcher.lock" in the per-user runtime folder.
    explicit SingleInstance(const QString& lockPath = QString());
    [[nodiscard]] Outcome Acquire();
    // Where the lock lives.
    const QString& Path() const { return m_path; }
    // The process named in the lock file, 0 when it names none.
    qint64 HolderProcess() const;

    // The lock of a program folder: one running program per folder, whatever its mode.
    static QString ProgramFolderLockPath(const QString& programFolder);

private:
    // Removes the guard a copy killed while removing a stale lock left behind.
    void RemoveLeftoverRemovalGuard() const;

    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};

} // namespace lw::app
