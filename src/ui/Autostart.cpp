#include "ui/Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace lw::ui {

namespace {

// One argument of an Exec line: quoted, with the characters that quoting reserves escaped,
// then the string escape of the desktop entry format (a backslash doubled once more) and the
// field-code escape of %.
std::optional<QString> ExecArgument(const QString& text)
{
    if (text.contains(u'\n') || text.contains(u'\r')) return std::nullopt;
    QString quoted;
    for (const QChar c : text) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') quoted += u'\\';
        quoted += c;
    }
    quoted.replace(u'\\', QStringLiteral("\\\\"));
    quoted.replace(u'%', QStringLiteral("%%"));
    return u'"' + quoted + u'"';
}

} // namespace

QString Autostart::EntryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/larchwatcher.desktop");
}

std::optional<QString> Autostart::EntryText(const QString& executable, const QString& programFolder)
{
    const std::optional<QString> program = ExecArgument(executable);
    const std::optional<QString> folder = ExecArgument(programFolder);
    if (!program || !folder) return std::nullopt;
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=LarchWatcher\n"
                          "Comment=Starts LarchWatcher in the tray at login\n"
                          "Comment[ja]=ログイン時にLarchWatcherをトレイに格納して起動します\n"
                          "Exec=%1 --home %2 --hidden\n"
                          "Icon=larchwatcher\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(*program, *folder);
}

bool Autostart::IsOn() { return QFileInfo::exists(EntryPath()); }

bool Autostart::TurnOn(const QString& executable, const QString& programFolder, QString& error)
{
    const std::optional<QString> text = EntryText(executable, programFolder);
    if (!text) {
        error = QStringLiteral("プログラムフォルダの名前に改行が含まれているため、自動起動を設定できません。");
        return false;
    }
    const QString path = EntryPath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        error = QFileInfo(path).absolutePath() + QStringLiteral("を作成できません。");
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text->toUtf8()) < 0 || !file.commit()) {
        error = path + QStringLiteral("に書き込めません（") + file.errorString() + QStringLiteral("）。");
        return false;
    }
    return true;
}

bool Autostart::TurnOff(QString& error)
{
    QFile file(EntryPath());
    if (!file.exists() || file.remove()) return true;
    error = EntryPath() + QStringLiteral("を削除できません（") + file.errorString() + QStringLiteral("）。");
    return false;
}

} // namespace lw::ui
