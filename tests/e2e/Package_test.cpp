// What an install puts on the machine (the Debian package is made from the same tree), and the
// user unit that runs the installed program.
#include "support/TempHome.h"

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

QString RunProgram(const QString& program, const QStringList& args, int* status = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    EXPECT_TRUE(p.waitForFinished(120000)) << program.toStdString();
    if (status != nullptr) *status = p.exitCode();
    return QString::fromUtf8(p.readAll());
}

// The install tree holds exactly the program, its template database, the desktop entry, the
// icon, the user unit and the package's documents.
TEST(Package, InstallHoldsTheProgramTemplateDesktopEntryIconUserUnitAndDocuments)
{
    lw::test::TempHome prefix;
    int status = -1;
    const QString out = RunProgram(QStringLiteral("cmake"),
                            {QStringLiteral("--install"), QStringLiteral(LW_BUILD_DIR), QStringLiteral("--prefix"),
                             prefix.Path()},
                            &status);
    ASSERT_EQ(status, 0) << out.toStdString();
    QStringList files;
    QDirIterator it(prefix.Path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) files << it.next().mid(prefix.Path().size() + 1);
    files.sort();
    EXPECT_EQ(files, (QStringList{"bin/larchwatcher", "bin/list_org.db", "lib/systemd/user/larchwatcher.service",
                                  "share/applications/larchwatcher.desktop", "share/doc/larchwatcher/changelog.gz",
                                  "share/doc/larchwatcher/copyright", "share/doc/larchwatcher/user-service.md",
                                  "share/icons/hicolor/scalable/apps/larchwatcher.svg"}));
    EXPECT_TRUE(QFileInfo(prefix.Path() + QStringLiteral("/bin/larchwatcher")).isExecutable());
    // The installed program finds the template beside itself.
    EXPECT_TRUE(RunProgram(prefix.Path() + QStringLiteral("/bin/larchwatcher"), {QStringLiteral("--help")})
                    .contains(QStringLiteral("--service")));
}

// The unit starts the program by its installed name in service mode on one folder, with options
// the program accepts, lets SIGTERM finish the message in hand within its stop time and
// restarts it after a failure.
TEST(Package, UserUnitRunsTheServiceWithOptionsTheProgramKnows)
{
    QFile unit(QStringLiteral(LW_SOURCE_DIR "/data/larchwatcher.service"));
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    QMap<QString, QString> keys;
    QString section;
    for (const QString& line : QString::fromUtf8(unit.readAll()).split(u'\n')) {
        if (line.startsWith(u'['))
            section = line;
        else if (!line.startsWith(u'#') && line.contains(u'='))
            keys[section + line.section(u'=', 0, 0)] = line.section(u'=', 1);
    }
    const QStringList exec = keys.value("[Service]ExecStart").split(u' ', Qt::SkipEmptyParts);
    ASSERT_GE(exec.size(), 3);
    EXPECT_EQ(exec[0], QStringLiteral("larchwatcher"));
    const QString help = RunProgram(QStringLiteral(LW_PROGRAM), {QStringLiteral("--help")});
    for (const QString& word : exec.mid(1)) {
        if (!word.startsWith(QStringLiteral("--"))) continue;
        EXPECT_TRUE(help.contains(QRegularExpression(QRegularExpression::escape(word) + QStringLiteral("[ <\n]"))))
            << word.toStdString();
    }
    EXPECT_TRUE(exec.contains(QStringLiteral("--service")) && exec.contains(QStringLiteral("--home")));
    EXPECT_EQ(exec[exec.indexOf(QStringLiteral("--home")) + 1], QStringLiteral("${LARCHWATCHER_HOME}"))
        << "one argument, whatever blanks the folder holds";
    EXPECT_TRUE(keys.value("[Service]Environment").startsWith(QStringLiteral("LARCHWATCHER_HOME=%h/")));
    EXPECT_EQ(keys.value("[Service]KillSignal"), QStringLiteral("SIGTERM"));
    EXPECT_GE(keys.value("[Service]TimeoutStopSec").toInt(), 120) << "the SMTP time-out of the message in hand (120 s by default) fits in it";
    EXPECT_EQ(keys.value("[Service]Restart"), QStringLiteral("on-failure"));
    EXPECT_EQ(keys.value("[Install]WantedBy"), QStringLiteral("default.target"));
}

} // namespace
