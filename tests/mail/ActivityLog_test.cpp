#include "engine/mail/ActivityLog.h"

#include "support/TempHome.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace lw::mail {
namespace {

QByteArray Contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Captures what is written to standard error while it lives.
class StderrCapture {
public:
    StderrCapture() : m_file(std::tmpfile())
    {
        std::fflush(stderr);
        m_saved = dup(fileno(stderr));
        dup2(fileno(m_file), fileno(stderr));
    }
    ~StderrCapture()
    {
        Restore();
        std::fclose(m_file);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    QString Text()
    {
        Restore();
        std::rewind(m_file);
        QByteArray bytes;
        char buffer[512];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0;) bytes.append(buffer, qsizetype(n));
        return QString::fromUtf8(bytes);
    }

private:
    void Restore()
    {
        if (m_saved < 0) return;
        std::fflush(stderr);
        dup2(m_saved, fileno(stderr));
        close(m_saved);
        m_saved = -1;
    }
    std::FILE* m_file;
    int m_saved = -1;
};

TEST(ActivityLogTest, EntriesAreStampedAndEndInCrCrLfByteForByte)
{
    test::TempHome home;
    const QDateTime first(QDate(2008, 3, 5), QTime(7, 8, 9));
    WriteLog(home.Folder(), QStringLiteral("log"), QStringLiteral("メール印刷[a.eml]:from<x@y>\t名前"), first);
    WriteLog(home.Folder(), QStringLiteral("log"), QString(), first.addSecs(1));
    WriteLog(home.Folder(), QStringLiteral("log"), QStringLiteral("三番目"), first.addSecs(2));

    const QString file = home.File(QStringLiteral("log200803.txt"));
    EXPECT_EQ(LogFilePath(home.Folder(), QStringLiteral("log"), first), file);
    EXPECT_EQ(Contents(file), QByteArray("2008/03/05 07:08:09==> ") +
                                  QStringLiteral("メール印刷[a.eml]:from<x@y>\t名前").toUtf8() +
                                  QByteArray("\r\r\n2008/03/05 07:08:10==> \r\r\n2008/03/05 07:08:11==> ") +
                                  QStringLiteral("三番目").toUtf8() + QByteArray("\r\r\n"));

    // The folder may come in bare form too.
    EXPECT_EQ(LogFilePath(home.Path(), QStringLiteral("log"), first), file);
}

TEST(ActivityLogTest, MonthOfTheFileAndPrefixFollowTheMomentOfWriting)
{
    test::TempHome home;
    const QDateTime lastSecond(QDate(2008, 2, 29), QTime(23, 59, 59));
    WriteLog(home.Folder(), QStringLiteral("log"), QStringLiteral("before"), lastSecond);
    WriteLog(home.Folder(), QStringLiteral("log"), QStringLiteral("after"), lastSecond.addSecs(1));
    WriteLog(home.Folder(), QStringLiteral("other"), QStringLiteral("renamed"), lastSecond.addSecs(2));
    WriteLog(home.Folder(), QStringLiteral("log"), QStringLiteral("year"), QDateTime(QDate(2008, 12, 31), QTime(23, 59, 59)));

    EXPECT_EQ(Contents(home.File(QStringLiteral("log200802.txt"))), QByteArray("2008/02/29 23:59:59==> before\r\r\n"));
    EXPECT_EQ(Contents(home.File(QStringLiteral("log200803.txt"))), QByteArray("2008/03/01 00:00:00==> after\r\r\n"));
    EXPECT_EQ(Contents(home.File(QStringLiteral("other200803.txt"))), QByteArray("2008/03/01 00:00:01==> renamed\r\r\n"));
    EXPECT_EQ(Contents(home.File(QStringLiteral("log200812.txt"))), QByteArray("2008/12/31 23:59:59==> year\r\r\n"));

    // Without a moment, the clock is read once for both the name and the stamp.
    WriteLog(home.Folder(), QStringLiteral("now"), QStringLiteral("x"));
    const QDateTime now = QDateTime::currentDateTime();
    QByteArray written = Contents(LogFilePath(home.Folder(), QStringLiteral("now"), now));
    if (written == "<missing>") written = Contents(LogFilePath(home.Folder(), QStringLiteral("now"), now.addSecs(-5)));
    EXPECT_TRUE(written.startsWith(now.toString(QStringLiteral("yyyy/MM/")).toUtf8())) << written.toStdString();
    EXPECT_TRUE(written.endsWith("==> x\r\r\n"));
}

TEST(ActivityLogTest, UnwritableLogGoesToStandardErrorWithoutThrowing)
{
    test::TempHome home;
    const QDateTime moment(QDate(2008, 3, 5), QTime(7, 8, 9));
    {
        StderrCapture capture;
        WriteLog(home.File(QStringLiteral("no/such/folder")), QStringLiteral("log"), QStringLiteral("行方不明"), moment);
        const QString text = capture.Text();
        EXPECT_TRUE(text.contains(QStringLiteral("no/such/folder"))) << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("行方不明"))) << "the entry is not lost";
    }
    EXPECT_FALSE(QFileInfo::exists(home.File(QStringLiteral("no"))));

    // A full disk: the month's file is a link to /dev/full.
    if (QFileInfo::exists(QStringLiteral("/dev/full"))) {
        ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), home.File(QStringLiteral("log200803.txt"))));
        StderrCapture capture;
        WriteLog(home.Folder(), QStringLiteral("log"), QStringLiteral("満杯"), moment);
        const QString text = capture.Text();
        EXPECT_TRUE(text.contains(QStringLiteral("満杯"))) << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("cannot write log"))) << text.toStdString();
    }
}

} // namespace
} // namespace lw::mail
