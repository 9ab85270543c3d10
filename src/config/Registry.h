#pragma once

#include <QString>

namespace lw::config {

// The per-user key/value store, addressed by application name, section and key. Lives in the
// platform's native settings store (the registry on Windows, a per-user file elsewhere).
class Registry {
public:
    const QString& Appname() const { return m_appname; }
    void Appname(const QString& appname) { m_appname = appname; }
    const QString& Section() const { return m_section; }
    void Section(const QString& section) { m_section = section; }
    const QString& Key() const { return m_key; }
    void Key(const QString& key) { m_key = key; }
    const QString& Setting() const { return m_setting; }
    void Setting(const QString& setting) { m_setting = setting; }

    // Setting becomes the stored value; a missing value reads as empty text.
    void RegGet();
    // Stores Setting, creating the section and key or replacing the old value.
    // False when the store could not be written.
    bool RegSave();
    // Removes Key from Section.
    void RegDel();

private:
    QString m_appname;
    QString m_section;
    QString m_key;
    QString m_setting;
};

} // namespace lw::config
