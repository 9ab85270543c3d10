// The files the service writes: durable copies and the activity log.
#include "mail/ActivityLog.h"
#include "base/DurableFiles.h"

#include "support/Files.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace lw::mail {
namespace {

std::string S(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

// Writes a new file under path, as every writer of these files does: never in place.
void Replace(const QString& path, const QByteArray& data)
{
    QSaveFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit());
}

// Same folder (a link) and across file systems (a real copy): the same promises.
void CheckCopies(const QString& sourceFolder, const QString& targetFolder)
{
    const QString source = sourceFolder + "/送信元.eml", target = targetFolder + "/保存先.eml";
    const QByteArray big = QByteArray(700 * 1024, 'a') + "末尾"; // more than one copy buffer
    Replace(source, big);
    std::string error;
    ASSERT_TRUE(base::CopyFileDurably(S(source), S(target), false, error)) << error;

    Replace(source, "new");
    EXPECT_FALSE(base::CopyFileDurably(S(source), S(target), false, error)) << "an existing name is kept";
    EXPECT_TRUE(error.find("File exists") != std::string::npos && test::ReadFile(target) == big) << error;
    ASSERT_TRUE(base::CopyFileDurably(S(source), S(target), true, error)) << error;
    // Once more onto a target that is that very file already (a message handled a second time).
    ASSERT_TRUE(base::CopyFileDurably(S(source), S(target), true, error)) << error;
    QFile::remove(source);
    EXPECT_EQ(test::ReadFile(target), "new") << "replaced, and the copy outlives the source";

    EXPECT_FALSE(base::CopyFileDurably(S(sourceFolder + "/missing"), S(targetFolder + "/x"), true, error) ||
                 base::CopyFileDurably(S(target), S(targetFolder + "/no/such/folder/x"), true, error));
    EXPECT_EQ(QDir(targetFolder).entryList(QDir::Files | QDir::Hidden), QStringList{"保存先.eml"})
        << "temporary files left behind";
}

TEST(ServiceFilesTest, CopiesReplaceOnlyWhenAskedAndWaitForTheBatchAndLogEntriesAreStamped)
{
    test::TempHome home;
    ASSERT_TRUE(QDir().mkpath(home.File("in")) && QDir().mkpath(home.File("out")));
    CheckCopies(home.File("in"), home.File("out"));
    // /dev/shm is another file system than the temporary folder on this platform's test machines.
    QTemporaryDir other(QStringLiteral("/dev/shm/lw-durable-XXXXXX"));
    if (other.isValid()) CheckCopies(home.File("in"), other.path());

    // A batch collects the copies until its flush and reports what it cannot flush.
    const QString source = home.File("m.eml");
    Replace(source, "body");
    std::string error;
    {
        base::FlushBatch batch;
        ASSERT_TRUE(base::CopyFileDurably(S(source), S(home.File("a.eml")), true, error)) << error;
        EXPECT_TRUE(!batch.Empty() && base::FlushBatch::Current() == &batch) << "the copy waits for the batch";
        EXPECT_TRUE(batch.Flush(error) && batch.Empty()) << error;
        // A file gone before the flush, or the folder of a second name, is reported and not kept.
        batch.Add(S(home.File("vanished.eml")));
        EXPECT_FALSE(batch.Flush(error) || error.find("vanished.eml") == std::string::npos) << error;
        batch.AddName(S(home.File("no-such-folder/c.eml")));
        EXPECT_FALSE(batch.Flush(error) || error.find("no-such-folder") == std::string::npos) << error;
    }
    EXPECT_EQ(base::FlushBatch::Current(), nullptr);

    // Log entries are stamped in the file of their month and prefix, or else go to standard error.
    const QDateTime lastSecond(QDate(2008, 2, 29), QTime(23, 59, 59));
    const QString text = QStringLiteral("メール印刷[a.eml]:from<x@y>\t名前");
    WriteLog(home.Folder(), "log", text, lastSecond);
    WriteLog(home.Folder(), "other", "after", lastSecond.addSecs(1));
    EXPECT_EQ(LogFilePath(home.Path(), "log", lastSecond), home.File("log200802.txt"))
        << "a folder in bare form";
    EXPECT_EQ(test::ReadFile(home.File("log200802.txt")), "2008/02/29 23:59:59==> " + text.toUtf8() + "\r\r\n");
    EXPECT_EQ(test::ReadFile(home.File("other200803.txt")), "2008/03/01 00:00:00==> after\r\r\n");

    // A value with line breaks cannot end its entry and forge another one.
    WriteLog(home.Folder(), "other", "件名\r\r\n2008/03/01 00:00:01==> 偽の行\nx\ry", lastSecond.addSecs(2));
    EXPECT_EQ(test::ReadFile(home.File("other200803.txt")),
              "2008/03/01 00:00:00==> after\r\r\n"
              "2008/03/01 00:00:01==> 件名\\r\\r\\n2008/03/01 00:00:01==> 偽の行\\nx\\ry\r\r\n");

    const QDateTime moment(QDate(2008, 3, 5), QTime(7, 8, 9));
    testing::internal::CaptureStderr(); // the entry must not be lost, so it goes to standard error
    WriteLog(home.File("no/such/folder"), "log", "行方不明", moment);
    QString said = QString::fromStdString(testing::internal::GetCapturedStderr());
    EXPECT_TRUE(said.contains("no/such/folder") && said.contains("行方不明")) << said.toStdString();

    // A full disk: the month's file is a link to /dev/full.
    ASSERT_TRUE(QFile::link("/dev/full", home.File("log200803.txt")));
    testing::internal::CaptureStderr();
    WriteLog(home.Folder(), "log", "満杯", moment);
    said = QString::fromStdString(testing::internal::GetCapturedStderr());
    EXPECT_TRUE(said.contains("満杯") && said.contains("cannot write log")) << said.toStdString();
}

} // namespace
} // namespace lw::mail
