#pragma once

#include <QDir>
#include <QString>
#include <QTemporaryDir>

namespace lw::test {

// A fresh program folder for one test, removed afterwards.
class TempHome {
  public:
    QString Path() const { return m_dir.path(); }
    // Record form: ends in the separator.
    QString Folder() const { return QDir::toNativeSeparators(m_dir.path()) + QDir::separator(); }
    QString File(const QString& name) const { return m_dir.filePath(name); }

  private:
    QTemporaryDir m_dir;
};

// Path of the template database built from the schema.
inline QString TemplateDatabase()
{
    return QStringLiteral(LW_BUILD_DIR "/src/app/list_org.db");
}

} // namespace lw::test
