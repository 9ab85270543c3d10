#include "config/Registry.h"

#include <QSettings>

namespace lw::config {

// The application name serves as organisation and application: one store per program.
void Registry::RegGet()
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, m_appname, m_appname);
    store.beginGroup(m_section);
    m_setting = store.value(m_key).toString();
}

bool Registry::RegSave()
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, m_appname, m_appname);
    store.beginGroup(m_section);
    store.setValue(m_key, m_setting);
    store.endGroup();
    store.sync();
    return store.status() == QSettings::NoError;
}

void Registry::RegDel()
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, m_appname, m_appname);
    store.beginGroup(m_section);
    store.remove(m_key);
    store.endGroup();
    store.sync();
}

} // namespace lw::config
