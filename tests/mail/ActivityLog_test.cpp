#include "engine/mail/ActivityLog.h"

#include "support/TempHome.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <unistd.h>

namespace lw::mail {
namespace {

QByteArray Contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// What `write` puts on standard error.
QString Stderr(const std::function<void()>& write)
{
    QTemporaryFile capture;
    if (!capture.open()) return QStringLiteral("<no capture file>");
    std::fflush(stderr);
    const int saved = dup(fileno(stderr));
    dup2(capture.handle(), fileno(stderr));
    write();
    std::fflush(stderr);
    dup2(saved, fileno(stderr));
    close(saved);
    capture.seek(0);
    return QString::fromUtf8(capture.readAll());
}

TEST(ActivityLogTest, EntriesAreStampedAndEndInCrCrLfInTheFileOfTheirMonth)
{
    test::TempHome home;
    const QDateTime first(QDate(2008, 3, 5), QTime(7, 8, 9));
    const QString text = QStringLiteral("メール印刷[a.eml]:from<x@y>\t名前");
    WriteLog(home.Folder(), QStringLiteral("log"), text, first);
    WriteLog(home.Folder(), QStringLiteral("log"), QString(), first.addSecs(1));
    const QString file = home.File(QStringLiteral("log200803.txt"));
    EXPECT_EQ(LogFilePath(home.Folder(), QStringLiteral("log"), first), file);
    EXPECT_EQ(LogFilePath(home.Path(), QStringLiteral("log"), first), file)
        << "the folder may come in bare form";
    EXPECT_EQ(Contents(file),
              "2008/03/05 07:08:09==> " + text.toUtf8() + "\r\r\n2008/03/05 07:08:10==> \r\r\n");

    // The month of the file and the prefix follow the moment of writing.
    const QDateTime lastSecond(QDate(2008, 2, 29), QTime(23, 59, 59));
    WriteLog(home.Folder(), QStringLiteral("log"), QStringLiteral("before"), lastSecond);
    WriteLog(home.Folder(), QStringLiteral("other"), QStringLiteral("after"), lastSecond.addSecs(1));
    WriteLog(home.Folder(), QStringLiteral("log"), QStringLiteral("year"),
             QDateTime(QDate(2008, 12, 31), QTime(23, 59, 59)));
    EXPECT_EQ(Contents(home.File(QStringLiteral("log200802.txt"))), "2008/02/29 23:59:59==> before\r\r\n");
    EXPECT_EQ(Contents(home.File(QStringLiteral("other200803.txt"))), "2008/03/01 00:00:00==> after\r\r\n");
    EXPECT_EQ(Contents(home.File(QStringLiteral("log200812.txt"))), "2008/12/31 23:59:59==> year\r\r\n");

    // Without a moment, the clock is read once for both the name and the stamp.
    WriteLog(home.Folder(), QStringLiteral("now"), QStringLiteral("x"));
    const QDateTime now = QDateTime::currentDateTime();
    QByteArray written = Contents(LogFilePath(home.Folder(), QStringLiteral("now"), now));
    if (written == "<missing>")
        written = Contents(LogFilePath(home.Folder(), QStringLiteral("now"), now.addSecs(-5)));
    EXPECT_TRUE(written.startsWith(now.toString(QStringLiteral("yyyy/MM/")).toUtf8()))
        << written.toStdString();
    EXPECT_TRUE(written.endsWith("==> x\r\r\n"));
}

TEST(ActivityLogTest, UnwritableLogGoesToStandardErrorWithoutThrowing)
{
    test::TempHome home;
    const QDateTime moment(QDate(2008, 3, 5), QTime(7, 8, 9));
    QString text = Stderr([&] {
        WriteLog(home.File(QStringLiteral("no/such/folder")), QStringLiteral("log"),
                 QStringLiteral("行方不明"), moment);
    });
    EXPECT_TRUE(text.contains(QStringLiteral("no/such/folder"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("行方不明"))) << "the entry is not lost";
    EXPECT_FALSE(QFileInfo::exists(home.File(QStringLiteral("no"))));

    // A full disk: the month's file is a link to /dev/full.
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), home.File(QStringLiteral("log200803.txt"))));
    text = Stderr([&] { WriteLog(home.Folder(), QStringLiteral("log"), QStringLiteral("満杯"), moment); });
    EXPECT_TRUE(text.contains(QStringLiteral("満杯"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("cannot write log"))) << text.toStdString();
}

} // namespace
} // namespace lw::mail
