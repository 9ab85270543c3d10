#include "app/Modes.h"

#include "config/InMemoryWorkingCopy.h"
#include "config/Settings.h"
#include "base/PosixFile.h"
#include "store/Folders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace lw::app {

QString ChooseProgramFolder(const QString& home)
{
    QString folder;
    if (!home.isEmpty()) {
        folder = QFileInfo(home).absoluteFilePath();
    } else {
        const QString exeFolder = QCoreApplication::applicationDirPath();
        folder = QFileInfo(exeFolder).isWritable()
                     ? exeFolder
                     : QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    }
    // A program folder the program makes is the owner's alone, like everything in it.
    (void)base::MakeOwnerOnlyFolders(QFile::encodeName(folder).toStdString());
    return QDir::toNativeSeparators(QDir::cleanPath(folder));
}

void TightenAtStart(const QString& folder)
{
    const config::InMemoryWorkingCopy copy = config::InMemoryWorkingCopy::FromSettingsFile(folder);
    // The folder of the executable may be shared with the program's own files: only its data is ours.
    const bool ownFolder = QFileInfo(folder).canonicalFilePath() != QFileInfo(QCoreApplication::applicationDirPath()).canonicalFilePath();
    (void)store::TightenProgramFolder(config::TakeSettingsSnapshot(copy), ownFolder);
}

} // namespace lw::app
