// What an install puts on the machine (the Debian package is made from the same tree), and the
// user unit that runs the installed program.
#include "support/Files.h"
#include "support/TempHome.h"

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

QString RunProgram(const QString& program, const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    EXPECT_TRUE(p.waitForFinished(120000)) << program.toStdString();
    const QString out = p.readAll();
    EXPECT_EQ(p.exitCode(), 0) << program.toStdString() << ": " << out.toStdString();
    return out;
}

TEST(Package, InstallHoldsTheProgramItsTemplateAndTheDesktopAndServiceFiles)
{
    lw::test::TempHome prefix;
    RunProgram("cmake", {"--install", LW_BUILD_DIR, "--prefix", prefix.Path()});
    QStringList files;
    QDirIterator it(prefix.Path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next().mid(prefix.Path().size() + 1);
    files.sort();
    EXPECT_EQ(files,
              (QStringList{"bin/larchwatcher", "bin/list_org.db", "lib/systemd/user/larchwatcher.service",
                           "share/applications/larchwatcher.desktop", "share/doc/larchwatcher/changelog.gz",
                           "share/doc/larchwatcher/copyright", "share/doc/larchwatcher/user-service.md",
                           "share/icons/hicolor/scalable/apps/larchwatcher.svg"}));
    EXPECT_TRUE(QFileInfo(prefix.File("bin/larchwatcher")).isExecutable());
    // The installed program finds the template beside itself.
    EXPECT_TRUE(RunProgram(prefix.File("bin/larchwatcher"), {"--help"}).contains("--service"));
}

// The unit starts the program by its installed name in service mode on one folder, with options
// the program accepts, lets SIGTERM finish the message in hand within its stop time and
// restarts it after a failure.
TEST(Package, UserUnitRunsTheServiceWithOptionsTheProgramKnows)
{
    QMap<QString, QString> keys;
    QString section;
    for (const QString& line :
         QString(lw::test::ReadFile(LW_SOURCE_DIR "/data/larchwatcher.service")).split(u'\n')) {
        if (line.startsWith(u'['))
            section = line;
        else if (!line.startsWith(u'#') && line.contains(u'='))
            keys[section + line.section(u'=', 0, 0)] = line.section(u'=', 1);
    }
    const QStringList exec = keys.value("[Service]ExecStart").split(u' ', Qt::SkipEmptyParts);
    EXPECT_EQ(exec.value(0), "larchwatcher");
    const QString help = RunProgram(LW_PROGRAM, {"--help"});
    for (const QString& word : exec.filter(QRegularExpression("^--")))
        EXPECT_TRUE(help.contains(QRegularExpression(QRegularExpression::escape(word) + "[ <\n]"))) << word;
    EXPECT_TRUE(exec.contains("--service"));
    EXPECT_EQ(exec.value(exec.indexOf("--home") + 1), "${LARCHWATCHER_HOME}")
        << "one argument, whatever blanks the folder holds";
    EXPECT_TRUE(keys.value("[Service]Environment").startsWith("LARCHWATCHER_HOME=%h/"));
    EXPECT_EQ(keys.value("[Service]KillSignal"), "SIGTERM");
    EXPECT_GE(keys.value("[Service]TimeoutStopSec").toInt(), 120)
        << "the SMTP time-out of the message in hand (120 s by default) fits in it";
    EXPECT_EQ(keys.value("[Service]Restart"), "on-failure");
    EXPECT_EQ(keys.value("[Install]WantedBy"), "default.target");
}

} // namespace
