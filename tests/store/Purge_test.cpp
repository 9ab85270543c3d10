#include "store/History.h"

#include "store/FindOrAdd.h"
#include "store/Folders.h"
#include "store/ListDatabase.h"
#include "store/StoreFixture.h"

#include <QDir>
#include <QFileInfo>

namespace lw::store {
namespace {

using test::Peek;

class PurgeTest : public test::StoreFixture {
protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        ASSERT_TRUE(QDir().mkpath(WorkFolder(settings)));
    }

    static QString Touch(const QString& path)
    {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
        file.write("x");
        return path;
    }

    // A history row (null date: undated) with its message file and attachment files.
    void AddRow(const QString& id, const QVariant& received, bool saved = false,
                const QStringList& attachments = {})
    {
        Peek peek(DatabasePath());
        const QString file = Touch(WorkFolder(settings) + u'/' + id);
        peek.Exec(QStringLiteral("INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 受信日, メール保存) VALUES (?, ?, ?, ?)"),
                  {id, file, received, saved ? 1 : 0});
        for (const QString& path : attachments) {
            Touch(path);
            peek.Exec(QStringLiteral("INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名, 添付ファイル名パス) VALUES (?, ?, ?)"),
                      {id, BaseName(path), path});
        }
    }

    bool InWork(const QString& name) const { return QFileInfo::exists(WorkFolder(settings) + u'/' + name); }

    static QVariant At(int daysAgo, const QTime& time)
    {
        return ToStoredDateTime(QDateTime(QDate::currentDate().addDays(-daysAgo), time));
    }

    QStringList Remaining() const
    {
        QStringList ids;
        for (const QSqlRecord& row : Peek(DatabasePath()).Rows(QStringLiteral("SELECT 保存ファイルID FROM tblHistory")))
            ids << row.value(0).toString();
        ids.sort();
        return ids;
    }
};

TEST_F(PurgeTest, RemovesUnsavedRowsUpToMidnightOfTheCutoffDay)
{
    settings.keepday = 60;
    AddRow(QStringLiteral("old"), At(61, QTime(23, 59, 59)));
    AddRow(QStringLiteral("midnight"), At(60, QTime(0, 0, 0)));
    AddRow(QStringLiteral("later-that-day"), At(60, QTime(0, 0, 1)));
    AddRow(QStringLiteral("saved"), At(400, QTime(12, 0)), true);
    AddRow(QStringLiteral("undated"), QVariant());
    PurgeHistory(settings);
    EXPECT_EQ(Remaining(), (QStringList{QStringLiteral("later-that-day"), QStringLiteral("saved"), QStringLiteral("undated")}));
    EXPECT_FALSE(InWork(QStringLiteral("old")) || InWork(QStringLiteral("midnight")));
    EXPECT_TRUE(InWork(QStringLiteral("saved")));
    EXPECT_TRUE(LogEntries().isEmpty()) << LogEntries().join(u'\n').toStdString();

    // keepday 0: everything unsaved from before today goes, today's stays.
    settings.keepday = 0;
    AddRow(QStringLiteral("yesterday"), At(1, QTime(23, 59, 59)));
    AddRow(QStringLiteral("today"), At(0, QTime(0, 0, 1)));
    PurgeHistory(settings);
    EXPECT_EQ(Remaining(), (QStringList{QStringLiteral("saved"), QStringLiteral("today"), QStringLiteral("undated")}));
}

TEST_F(PurgeTest, DeletesAttachmentRowsAndOnlyWorkFolderFiles)
{
    settings.keepday = 1;
    const QString work = WorkFolder(settings);
    const QString outside = home.File(QStringLiteral("keep.txt"));
    AddRow(QStringLiteral("m1"), At(5, QTime(8, 0)), false,
           {work + QStringLiteral("/a.pdf"), work + QStringLiteral("/b c.txt"), outside,
            work + QStringLiteral("/../escape.txt")});
    AddRow(QStringLiteral("m2"), At(5, QTime(9, 0)), true, {work + QStringLiteral("/kept.pdf")});
    // Work file already gone: the row and its attachment rows still go.
    AddRow(QStringLiteral("gone"), At(5, QTime(10, 0)), false, {work + QStringLiteral("/g.txt")});
    QFile::remove(work + QStringLiteral("/gone"));
    // Attachment rows without a history row are left alone.
    Peek(DatabasePath()).Exec(QStringLiteral("INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名) VALUES ('orphan', 'o.txt')"));

    PurgeHistory(settings);
    EXPECT_EQ(Remaining(), QStringList{QStringLiteral("m2")});
    Peek peek(DatabasePath());
    EXPECT_EQ(peek.Count(QStringLiteral("SELECT count(*) FROM tblHistoryFiles WHERE 保存ファイルID IN ('m1', 'gone')")), 0);
    EXPECT_EQ(peek.Count(QStringLiteral("SELECT count(*) FROM tblHistoryFiles")), 2) << "m2 and the orphan";
    for (const char* name : {"a.pdf", "b c.txt", "g.txt"}) EXPECT_FALSE(InWork(QString::fromUtf8(name))) << name;
    EXPECT_TRUE(QFileInfo::exists(outside)) << "outside the work folder";
    EXPECT_TRUE(QFileInfo::exists(SaveFolder(settings) + QStringLiteral("/escape.txt"))) << "../ leaves the work folder";
    EXPECT_TRUE(InWork(QStringLiteral("kept.pdf"))) << "saved message";

    // A large backlog is removed by several workers; every file still goes.
    for (int i = 0; i < 120; ++i)
        AddRow(QStringLiteral("bulk%1").arg(i), At(3, QTime(8, 0)), false, {work + QStringLiteral("/bulk%1.pdf").arg(i)});
    PurgeHistory(settings);
    EXPECT_EQ(Remaining(), QStringList{QStringLiteral("m2")});
    EXPECT_EQ(QDir(work).entryList(QDir::Files), (QStringList{QStringLiteral("kept.pdf"), QStringLiteral("m2")}));
}

TEST_F(PurgeTest, AttachmentFolderOfAMessageGoesWithItsLastFile)
{
    settings.keepday = 1;
    const QString work = WorkFolder(settings);
    const QString own = work + QStringLiteral("/m1.eml.files");
    const QString shared = work + QStringLiteral("/shared.files");
    ASSERT_TRUE(QDir().mkpath(own));
    ASSERT_TRUE(QDir().mkpath(shared));
    AddRow(QStringLiteral("m1.eml"), At(5, QTime(8, 0)), false, {own + QStringLiteral("/見積書.pdf"), own + QStringLiteral("/b.txt")});
    // A folder that still holds another message's file stays, with that file.
    AddRow(QStringLiteral("m2.eml"), At(5, QTime(8, 0)), false, {shared + QStringLiteral("/x.txt")});
    AddRow(QStringLiteral("m3.eml"), At(0, QTime(0, 1)), false, {shared + QStringLiteral("/y.txt")});

    PurgeHistory(settings);
    EXPECT_EQ(Remaining(), QStringList{QStringLiteral("m3.eml")});
    EXPECT_FALSE(QFileInfo::exists(own)) << "emptied folder left behind";
    EXPECT_FALSE(QFileInfo::exists(shared + QStringLiteral("/x.txt")));
    EXPECT_TRUE(QFileInfo::exists(shared + QStringLiteral("/y.txt")));
}

TEST_F(PurgeTest, MessageWithoutDateSurvivesThePurgeOfItsOwnTick)
{
    settings.keepday = 0;
    mail::ReceivedMail mail;
    mail.file = Touch(WorkFolder(settings) + QStringLiteral("/nodate.eml"));
    RegisterReceipt(settings, mail);
    PurgeHistory(settings);
    EXPECT_EQ(Remaining(), QStringList{QStringLiteral("nodate.eml")});
    EXPECT_TRUE(QFileInfo::exists(mail.file));
}

TEST_F(PurgeTest, FailureLogsTheLineAndDeletesNothing)
{
    settings.keepday = 0;
    AddRow(QStringLiteral("old"), At(3, QTime(8, 0)), false, {WorkFolder(settings) + QStringLiteral("/a.txt")});

    SetBusyTimeout(100);
    {
        Peek holder(DatabasePath());
        holder.Exec(QStringLiteral("BEGIN IMMEDIATE"));
        PurgeHistory(settings);
        holder.Exec(QStringLiteral("ROLLBACK"));
    }
    SetBusyTimeout(5000);
    ASSERT_EQ(LogEntries().size(), 1);
    EXPECT_TRUE(LogEntries()[0].startsWith(QStringLiteral("ワーククリアエラー：")));
    EXPECT_TRUE(LogEntries()[0].contains(QStringLiteral("locked"))) << LogEntries()[0].toStdString();
    EXPECT_EQ(Remaining(), QStringList{QStringLiteral("old")});
    EXPECT_TRUE(InWork(QStringLiteral("old")) && InWork(QStringLiteral("a.txt")));

    settings.reffile = QStringLiteral("absent");
    PurgeHistory(settings);
    ASSERT_EQ(LogEntries().size(), 2);
    EXPECT_TRUE(LogEntries()[1].startsWith(QStringLiteral("ワーククリアエラー：[")));

    // The next tick purges what the failed one left.
    settings.reffile = QStringLiteral("list");
    PurgeHistory(settings);
    EXPECT_TRUE(Remaining().isEmpty());
    EXPECT_FALSE(InWork(QStringLiteral("a.txt")));
}

} // namespace
} // namespace lw::store
