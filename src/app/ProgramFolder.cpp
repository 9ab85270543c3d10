#include "app/Modes.h"

#include <QCoreApplication>
#include <QDir>
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
    QDir().mkpath(folder);
    return QDir::toNativeSeparators(QDir::cleanPath(folder));
}

} // namespace lw::app
