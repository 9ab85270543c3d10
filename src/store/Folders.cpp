#include "store/Folders.h"

#include "config/Settings.h"
#include "base/PosixFile.h"
#include "store/ListDatabase.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace lw::store {

namespace {

bool IsSeparator(QChar c) { return c == u'/' || c == QDir::separator(); }

} // namespace

QString JoinPath(const QString& folder, const QString& name)
{
    if (folder.isEmpty() || IsSeparator(folder.back())) return folder + name;
    return folder + QDir::separator() + name;
}

QString BareFolder(const QString& folder)
{
    // The root keeps its only separator: removing it would name the current directory.
    if (folder.size() > 1 && IsSeparator(folder.back())) return folder.left(folder.size() - 1);
    return folder;
}

QString RecordFolder(const QString& folder)
{
    const QString bare = BareFolder(folder);
    if (!bare.isEmpty() && IsSeparator(bare.back())) return bare;
    return bare + QDir::separator();
}

QString SaveFolder(const config::SettingsRecord& settings)
{
    return RecordFolder(settings.programFolder) + settings.saveFolderName;
}

QString WorkFolder(const config::SettingsRecord& settings)
{
    return SaveFolder(settings) + QDir::separator() + QStringLiteral("work");
}

QString SavedAttachmentFolder(const QString& saveFolder, const QString& id)
{
    const QString name = base::TrimSpaces(id);
    if (name.isEmpty() || name == QStringLiteral(".") || name == QStringLiteral("..") || BaseName(name) != name ||
        name.contains(u'/'))
        return {};
    return mail::AttachmentFolderOf(JoinPath(BareFolder(saveFolder), name));
}

bool RemoveSavedAttachmentFolder(const QString& saveFolder, const QString& id)
{
    const QString folder = SavedAttachmentFolder(saveFolder, id);
    if (folder.isEmpty()) return true;
    const QFileInfo info(folder);
    if (info.isSymLink()) return QFile::remove(folder); // a link in its place goes, not its target
    if (!info.isDir()) return !info.exists();
    QDir dir(folder);
    for (const QFileInfo& entry : dir.entryInfoList(QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot))
        QFile::remove(entry.filePath());
    return QDir().rmdir(folder) || !QFileInfo::exists(folder);
}

base::Status EnsureFolder(const QString& folder)
{
    const QFileInfo info(folder);
    if (info.isDir()) return {};
    if (info.exists()) return base::Fail(QStringLiteral("フォルダの位置にファイルがあります: ") + folder);
    if (!base::MakeOwnerOnlyFolder(QFile::encodeName(folder).toStdString()))
        return base::Fail(QStringLiteral("フォルダを作成できません: ") + folder);
    return {};
}

namespace {

// Takes group and other bits off one entry that is not a link; true when it changed.
bool TakeBackToOwner(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0 || S_ISLNK(st.st_mode) || (st.st_mode & 077) == 0) return false;
    if (::chmod(name.constData(), st.st_mode & 07700) != 0) {
        std::fprintf(stderr, "larchwatcher: cannot make %s private: %s\n", name.constData(), std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace

int TightenProgramFolder(const config::SettingsRecord& settings, bool includingTheFolder)
{
    const QString home = BareFolder(settings.programFolder);
    if (home.isEmpty()) return 0; // no folder named: nothing here is the program's
    const QString ownRoot = QFileInfo(home).canonicalFilePath();
    int changed = 0;
    // The file system's root stays as it is even as the program folder: made private, it would
    // lock every other user and service out of the machine.
    if (includingTheFolder && ownRoot != QDir::rootPath())
        changed += TakeBackToOwner(home);
    const QString database = ListDatabasePath(home, settings.listDatabaseName);
    QStringList files{JoinPath(home, QString::fromLatin1(config::kSettingsFileName)),
                      JoinPath(home, QStringLiteral("forward-mark.key")), database};
    for (const char* suffix : {"-journal", "-wal", "-shm", ".part"}) files << database + QLatin1String(suffix);
    const QRegularExpression month(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(settings.logBaseName) + QStringLiteral("[0-9]{6}\\.txt")));
    for (const QString& name : QDir(home).entryList(QDir::Files | QDir::Hidden))
        if (month.match(name).hasMatch()) files << JoinPath(home, name);
    for (const QString& file : files) changed += TakeBackToOwner(file);

    // Everything below the save folder is mail, attachments, notices or fetch state; links are
    // left alone, and so is whatever they point to. A save folder that is not inside the program
    // folder (a hand-written "..") is not the program's to tighten.
    const QString saveFolder = SaveFolder(settings);
    const QString saveRoot = QFileInfo(saveFolder).canonicalFilePath();
    const QString below = ownRoot.endsWith(u'/') ? ownRoot : ownRoot + u'/';
    if (settings.saveFolderName.trimmed().isEmpty() || !QFileInfo(saveFolder).isDir() ||
        QFileInfo(saveFolder).isSymLink() || ownRoot.isEmpty() || !saveRoot.startsWith(below) ||
        saveRoot == ownRoot)
        return changed;
    changed += TakeBackToOwner(saveFolder);
    QDirIterator it(saveFolder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) changed += TakeBackToOwner(it.next());
    return changed;
}

} // namespace lw::store
