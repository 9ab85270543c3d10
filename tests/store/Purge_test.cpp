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
    // A history row (null date: undated) with its message file and attachment files.
    void AddRow(const QString& id, int daysAgo, const QTime& time, bool saved = false, const QStringList& attachments = {})
    {
        const QVariant received = daysAgo < 0 ? QVariant() : ToStoredDateTime(QDateTime(QDate::currentDate().addDays(-daysAgo), time));
        Peek peek(DatabasePath());
        peek.Exec(QStringLiteral("INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 受信日, メール保存) VALUES (?, ?, ?, ?)"),
                  {id, test::WriteFile(Work(), id, "x"), received, saved ? 1 : 0});
        for (const QString& path : attachments) {
            EXPECT_TRUE(QDir().mkpath(QFileInfo(path).path()) && !test::WriteFile(QFileInfo(path).path(), BaseName(path), "x").isEmpty());
            peek.Exec(QStringLiteral("INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名, 添付ファイル名パス) VALUES (?, ?, ?)"),
                      {id, BaseName(path), path});
        }
    }

    QString Work() const { return WorkFolder(settings); }
    bool InWork(const QString& name) const { return QFileInfo::exists(Work() + u'/' + name); }

    QStringList Remaining() const
    {
        QStringList ids;
        for (const QSqlRecord& row : Peek(DatabasePath()).Rows(QStringLiteral("SELECT 保存ファイルID FROM tblHistory ORDER BY 1")))
            ids << row.value(0).toString();
        return ids;
    }
};

TEST_F(PurgeTest, RemovesUnsavedRowsUpToMidnightOfTheCutoffDayButNeverAMessageWithoutDate)
{
    settings.keepday = 60;
    AddRow(QStringLiteral("old"), 61, QTime(23, 59, 59));
    AddRow(QStringLiteral("midnight"), 60, QTime(0, 0, 0));
    AddRow(QStringLiteral("later-that-day"), 60, QTime(0, 0, 1));
    AddRow(QStringLiteral("saved"), 400, QTime(12, 0), true);
    AddRow(QStringLiteral("undated"), -1, {});
    PurgeHistory(settings);
    EXPECT_EQ(Remaining(), (QStringList{QStringLiteral("later-that-day"), QStringLiteral("saved"), QStringLiteral("undated")}));
    EXPECT_FALSE(InWork(QStringLiteral("old")) || InWork(QStringLiteral("midnight")));
    EXPECT_TRUE(InWork(QStringLiteral("saved")));

    // A received message without a date is stamped with its arrival, so the purge of its own
    // tick keeps it even with keepday 0.
    settings.keepday = 0;
    mail::ReceivedMail mail;
    mail.file = test::WriteFile(Work(), QStringLiteral("nodate.eml"), "x");
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    RegisterReceipt(settings, mail);
    const QDateTime stamped = FromStoredDateTime(
        Peek(DatabasePath()).Value(QStringLiteral("SELECT 受信日 FROM tblHistory WHERE 保存ファイルID = 'nodate.eml'")).toString());
    EXPECT_TRUE(stamped >= before && stamped <= QDateTime::currentDateTime().addSecs(1)) << stamped.toString().toStdString();
    PurgeHistory(settings);
    EXPECT_TRUE(Remaining().contains(QStringLiteral("nodate.eml")));
    EXPECT_TRUE(QFileInfo::exists(mail.file));
    EXPECT_TRUE(LogEntries().isEmpty()) << LogEntries().join(u'\n').toStdString();
}

TEST_F(PurgeTest, DeletesAttachmentRowsAndOnlyWorkFolderFilesWithTheirEmptiedFolder)
{
    settings.keepday = 1;
    const QString work = Work();
    const QString outside = home.File(QStringLiteral("keep.txt"));
    const QString own = work + QStringLiteral("/m1.files");
    const QString shared = work + QStringLiteral("/shared.files");
    AddRow(QStringLiteral("m1"), 5, QTime(8, 0), false,
           {work + QStringLiteral("/a.pdf"), own + QStringLiteral("/見積書 b.pdf"), outside, work + QStringLiteral("/../escape.txt")});
    AddRow(QStringLiteral("m2"), 5, QTime(9, 0), true, {work + QStringLiteral("/kept.pdf")});
    // A folder that still holds another message's file stays, with that file.
    AddRow(QStringLiteral("m3"), 5, QTime(8, 0), false, {shared + QStringLiteral("/x.txt")});
    AddRow(QStringLiteral("m4"), 0, QTime(0, 1), false, {shared + QStringLiteral("/y.txt")});
    // Work file already gone: the row and its attachment rows still go.
    AddRow(QStringLiteral("gone"), 5, QTime(10, 0), false, {work + QStringLiteral("/g.txt")});
    QFile::remove(work + QStringLiteral("/gone"));
    // Attachment rows without a history row are left alone.
    Peek(DatabasePath()).Exec(QStringLiteral("INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名) VALUES ('orphan', 'o.txt')"));

    PurgeHistory(settings);
    EXPECT_EQ(Remaining(), (QStringList{QStringLiteral("m2"), QStringLiteral("m4")}));
    EXPECT_EQ(Peek(DatabasePath()).Count(QStringLiteral("SELECT count(*) FROM tblHistoryFiles")), 3) << "m2, m4 and the orphan";
    for (const char* name : {"a.pdf", "g.txt", "m1.files", "shared.files/x.txt"}) EXPECT_FALSE(InWork(QString::fromUtf8(name))) << name;
    EXPECT_TRUE(InWork(QStringLiteral("shared.files/y.txt")));
    EXPECT_TRUE(QFileInfo::exists(outside)) << "outside the work folder";
    EXPECT_TRUE(QFileInfo::exists(SaveFolder(settings) + QStringLiteral("/escape.txt"))) << "../ leaves the work folder";
    EXPECT_TRUE(InWork(QStringLiteral("kept.pdf"))) << "saved message";

    // A large backlog is removed by several workers; every file still goes.
    for (int i = 0; i < 120; ++i)
        AddRow(QStringLiteral("bulk%1").arg(i), 3, QTime(8, 0), false, {work + QStringLiteral("/bulk%1.pdf").arg(i)});
    PurgeHistory(settings);
    EXPECT_EQ(Remaining(), (QStringList{QStringLiteral("m2"), QStringLiteral("m4")}));
    EXPECT_EQ(QDir(work).entryList(QDir::Files), (QStringList{QStringLiteral("kept.pdf"), QStringLiteral("m2"), QStringLiteral("m4")}));
}

TEST_F(PurgeTest, FailureLogsTheLineAndDeletesNothingUntilTheNextTick)
{
    settings.keepday = 0;
    AddRow(QStringLiteral("old"), 3, QTime(8, 0), false, {Work() + QStringLiteral("/a.txt")});
    SetBusyTimeout(100);
    {
        Peek holder(DatabasePath());
        holder.Exec(QStringLiteral("BEGIN IMMEDIATE"));
        PurgeHistory(settings);
        holder.Exec(QStringLiteral("ROLLBACK"));
    }
    SetBusyTimeout(5000);
    settings.reffile = QStringLiteral("absent");
    PurgeHistory(settings);
    const QStringList log = LogEntries();
    ASSERT_EQ(log.size(), 2) << log.join(u'\n').toStdString();
    EXPECT_TRUE(log[0].startsWith(QStringLiteral("ワーククリアエラー：")) && log[0].contains(QStringLiteral("locked"))) << log[0].toStdString();
    EXPECT_TRUE(log[1].startsWith(QStringLiteral("ワーククリアエラー：["))) << log[1].toStdString();
    EXPECT_EQ(Remaining(), QStringList{QStringLiteral("old")});
    EXPECT_TRUE(InWork(QStringLiteral("old")) && InWork(QStringLiteral("a.txt")));

    settings.reffile = QStringLiteral("list");
    PurgeHistory(settings);
    EXPECT_TRUE(Remaining().isEmpty());
    EXPECT_FALSE(InWork(QStringLiteral("a.txt")));
}

} // namespace
} // namespace lw::store
