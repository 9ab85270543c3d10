#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

namespace lw::app {

// Holds the per-user lock that marks a running copy of the program. A lock left behind by a
// crashed run is taken over; a live holder is never disturbed.
class SingleInstance {
public:
    // lockPath empty: "larchwatcher.lock" in the per-user runtime folder.
    explicit SingleInstance(const QString& lockPath = QString());
    // True when this process now holds the lock (no other copy runs).
    [[nodiscard]] bool Acquire();
    // Where the lock lives.
    const QString& Path() const { return m_path; }

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};

} // namespace lw::app
