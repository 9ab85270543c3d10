#pragma once

#include "config/WorkingCopy.h"

#include <QHash>
#include <QMutex>
#include <QString>

namespace lw::config {

// The working copy without a window, for headless modes and tests: each field's text and state
// kept by settings key. Safe to use from several threads.
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

  private:
    mutable QMutex m_mutex;
    QString m_programFolder;
    QHash<QString, QString> m_texts;
    QHash<QString, int> m_states;
};

} // namespace lw::config
