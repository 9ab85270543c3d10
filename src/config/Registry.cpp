#include "config/Registry.h"

#include "base/PosixFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lw::config {

namespace {

// The store holds the lock passwords: its file is its owner's alone before the first value goes
// in (the settings writer keeps the mode of a file that exists), and one an older version left
// open to others is closed. A store that is no file (the registry) is left as it is.
void MakeStoreOwnerOnly(const QSettings& store)
{
    const QString path = store.fileName();
    if (path.isEmpty() || !QFileInfo(path).isAbsolute()) return;
    const std::string file = QFile::encodeName(path).toStdString();
    if (!base::MakeOwnerOnlyFolders(base::FolderOf(file))) return; // the write reports it
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, base::kOwnerOnlyFile);
    if (fd < 0) return;
    const base::UniqueFd holder(fd);
    struct stat status {};
    if (::fstat(fd, &status) == 0 && (status.st_mode & 07777) != base::kOwnerOnlyFile)
        (void)::fchmod(fd, base::kOwnerOnlyFile);
}

} // namespace

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
    MakeStoreOwnerOnly(store);
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
