#include "engine/mail/DurableFiles.h"

#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace lw::mail {
namespace {

QByteArray Read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

std::string S(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

// Writes a new file under path, as every writer of these files does: never in place.
void Replace(const QString& path, const QByteArray& data)
{
    QSaveFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(data);
    ASSERT_TRUE(file.commit());
}

// Same folder (a link) and across file systems (a real copy): the same promises.
void CheckCopies(const QString& sourceFolder, const QString& targetFolder)
{
    const QString source = sourceFolder + QStringLiteral("/送信元.eml"),
                  target = targetFolder + QStringLiteral("/保存先.eml");
    const QByteArray big = QByteArray(700 * 1024, 'a') + "末尾"; // more than one copy buffer
    Replace(source, big);
    ASSERT_EQ(::chmod(S(source).c_str(), 0640), 0);
    std::string error;
    ASSERT_TRUE(CopyFileDurably(S(source), S(target), false, error)) << error;
    EXPECT_EQ(Read(target), big);
    struct stat info {};
    ASSERT_EQ(::stat(S(target).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u) << "the copy keeps the source's permissions";

    Replace(source, "new");
    EXPECT_FALSE(CopyFileDurably(S(source), S(target), false, error)) << "an existing name is kept";
    EXPECT_NE(error.find("File exists"), std::string::npos) << error;
    EXPECT_EQ(Read(target), big);
    ASSERT_TRUE(CopyFileDurably(S(source), S(target), true, error)) << error;
    QFile::remove(source);
    EXPECT_EQ(Read(target), "new") << "replaced, and the copy outlives the source";

    EXPECT_FALSE(CopyFileDurably(S(sourceFolder + "/missing"), S(targetFolder + "/x"), true, error));
    EXPECT_FALSE(CopyFileDurably(S(target), S(targetFolder + "/no/such/folder/x"), true, error));
    EXPECT_EQ(QDir(targetFolder).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("保存先.eml")})
        << "temporary files left behind";
}

TEST(DurableFilesTest, CopyReplacesOnlyWhenAskedAndLeavesNoTemporaryFile)
{
    test::TempHome home;
    ASSERT_TRUE(QDir().mkpath(home.File("in")) && QDir().mkpath(home.File("out")));
    CheckCopies(home.File("in"), home.File("out"));
    // /dev/shm is another file system than the temporary folder on this platform's test machines.
    QTemporaryDir other(QStringLiteral("/dev/shm/lw-durable-XXXXXX"));
    if (other.isValid()) CheckCopies(home.File("in"), other.path());
}

TEST(DurableFilesTest, BatchCollectsCopiesUntilFlushAndNestsPerThread)
{
    test::TempHome home;
    const QString source = home.File("m.eml");
    Replace(source, "body");
    std::string error;
    EXPECT_EQ(FlushBatch::Current(), nullptr);
    {
        FlushBatch outer;
        {
            FlushBatch inner;
            EXPECT_EQ(FlushBatch::Current(), &inner);
            ASSERT_TRUE(CopyFileDurably(S(source), S(home.File("a.eml")), true, error)) << error;
            EXPECT_TRUE(!inner.Empty() && outer.Empty()) << "the copy waits for the innermost batch";
            EXPECT_TRUE(inner.Flush(error)) << error;
            EXPECT_TRUE(inner.Empty());
        }
        EXPECT_EQ(FlushBatch::Current(), &outer);
        // A file gone before the flush is reported, and the batch does not keep it.
        outer.Add(S(home.File("vanished.eml")));
        EXPECT_FALSE(outer.Flush(error));
        EXPECT_NE(error.find("vanished.eml"), std::string::npos) << error;
        EXPECT_TRUE(outer.Empty());
    }
    EXPECT_EQ(FlushBatch::Current(), nullptr);

    // A second name of a durable file needs only its folder flushed: a folder gone is an error.
    FlushBatch batch;
    ASSERT_TRUE(CopyFileDurably(S(source), S(home.File("c.eml")), true, error, true)) << error;
    EXPECT_FALSE(batch.Empty());
    EXPECT_TRUE(batch.Flush(error)) << error;
    batch.AddName(S(home.File("no-such-folder/c.eml")));
    EXPECT_FALSE(batch.Flush(error));
    EXPECT_NE(error.find("no-such-folder"), std::string::npos) << error;
    EXPECT_TRUE(FlushFiles({S(source), S(home.File("a.eml"))}, error)) << error;
}

} // namespace
} // namespace lw::mail
