#include "config/InMemoryWorkingCopy.h"

#include "config/Settings.h"

#include <QDir>
#include <QMutexLocker>

#include <utility>

namespace lw::config {

InMemoryWorkingCopy::InMemoryWorkingCopy(QString programFolder) : m_programFolder(std::move(programFolder))
{
    if (!m_programFolder.endsWith(QDir::separator()) && !m_programFolder.endsWith(u'/'))
        m_programFolder += QDir::separator();
}

InMemoryWorkingCopy InMemoryWorkingCopy::FromSettingsFile(const QString& programFolder)
{
    InMemoryWorkingCopy copy(programFolder);
    LoadSettingsIntoWindow(copy, copy.ProgramFolder());
    return copy;
}

// A copy is a snapshot: it tells nobody about its own changes.
InMemoryWorkingCopy::InMemoryWorkingCopy(const InMemoryWorkingCopy& other)
{
    QMutexLocker lock(&other.m_mutex);
    m_programFolder = other.m_programFolder;
    m_texts = other.m_texts;
    m_states = other.m_states;
}

QString InMemoryWorkingCopy::Text(const QString& key) const
{
    QMutexLocker lock(&m_mutex);
    return m_texts.value(key);
}

void InMemoryWorkingCopy::SetText(const QString& key, const QString& text)
{
    {
        QMutexLocker lock(&m_mutex);
        m_texts.insert(key, text);
    }
    Changed(key);
}

int InMemoryWorkingCopy::State(const QString& key) const
{
    QMutexLocker lock(&m_mutex);
    return m_states.value(key, 0);
}

void InMemoryWorkingCopy::SetState(const QString& key, int state)
{
    {
        QMutexLocker lock(&m_mutex);
        m_states.insert(key, state);
    }
    Changed(key);
}

QString InMemoryWorkingCopy::ProgramFolder() const
{
    QMutexLocker lock(&m_mutex);
    return m_programFolder;
}

void InMemoryWorkingCopy::SetChangeObserver(std::function<void(const QString& key)> observer)
{
    QMutexLocker lock(&m_mutex);
    m_observer = std::move(observer);
}

void InMemoryWorkingCopy::Changed(const QString& key) const
{
    std::function<void(const QString&)> observer;
    {
        QMutexLocker lock(&m_mutex);
        observer = m_observer;
    }
    if (observer) observer(key);
}

} // namespace lw::config
