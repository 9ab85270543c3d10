#include "store/Folders.h"

#include <QDir>
#include <QFileInfo>

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
    return RecordFolder(settings.programFolder) + settings.savedir;
}

QString WorkFolder(const config::SettingsRecord& settings)
{
    return SaveFolder(settings) + QDir::separator() + QStringLiteral("work");
}

bool EnsureFolder(const QString& folder, QString& error)
{
    const QFileInfo info(folder);
    if (info.isDir()) return true;
    if (info.exists()) {
        error = QStringLiteral("フォルダの位置にファイルがあります: ") + folder;
        return false;
    }
    if (!QDir().mkdir(folder)) {
        error = QStringLiteral("フォルダを作成できません: ") + folder;
        return false;
    }
    return true;
}

} // namespace lw::store
