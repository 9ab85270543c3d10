#pragma once

#include "config/WorkingCopy.h"

#include <QHash>
#include <QMutex>
#include <QString>

#include <functional>

namespace lw::config {

// The working copy as a plain object: each field's text and state kept by settings key. Headless
// modes and tests load it from the settings file; the main window keeps one in step with its
// fields and hands it to the service. Safe to use from several threads.
class InMemoryWorkingCopy final : public WorkingCopy {
  public:
    // Empty fields (text empty, state 0) in the given program folder.
    explicit InMemoryWorkingCopy(QString programFolder);

    // A working copy loaded from the settings file of programFolder, as the window loads it.
    static InMemoryWorkingCopy FromSettingsFile(const QString& programFolder);

    InMemoryWorkingCopy(const InMemoryWorkingCopy& other);
    InMemoryWorkingCopy& operator=(const InMemoryWorkingCopy&) = delete;

    QString Text(const QString& key) const override;
    void SetText(const QString& key, const QString& text) override;
    int State(const QString& key) const override;
    void SetState(const QString& key, int state) override;
    QString ProgramFolder() const override;

    // Called with the key after every SetText and SetState, on the thread that made the change
    // and outside the lock (so it may read this copy). Set it before other threads use the copy.
    void SetChangeObserver(std::function<void(const QString& key)> observer);

  private:
    void Changed(const QString& key) const;

    mutable QMutex m_mutex;
    QString m_programFolder;
    QHash<QString, QString> m_texts;
    QHash<QString, int> m_states;
    std::function<void(const QString& key)> m_observer;
};

} // namespace lw::config
