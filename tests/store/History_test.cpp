#include "store/History.h"

#include "store/FindOrAdd.h"
#include "store/Folders.h"
#include "store/ListDatabase.h"
#include "store/StoreFixture.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <utility>

namespace lw::store {
namespace {

using test::Peek;

const QString kProcessingError = QStringLiteral("処理履歴登録エラー[%1]:from<taro@example.jp>山田 太郎:");

class HistoryTest : public test::StoreFixture {
  protected:
    // A message stored in the work folder, with attachment files written into its own attachment
    // folder (names relative to that folder).
    mail::ReceivedMail Message(const QString& id, const QStringList& attachmentNames = {},
                               const QDateTime& received = QDateTime(QDate(2008, 3, 31), QTime(23, 59, 59)))
    {
        mail::ReceivedMail mail;
        mail.file = test::WriteFile(WorkFolder(settings), id, "x");
        mail.subject = QStringLiteral("件名");
        mail.fromAddress = QStringLiteral("taro@example.jp");
        mail.fromName = QStringLiteral("山田 太郎");
        mail.toName = QStringLiteral("事務所");
        mail.received = received;
        mail.attachmentFolder = mail::AttachmentFolderOf(mail.file);
        for (const QString& name : attachmentNames) {
            const QFileInfo file(mail.attachmentFolder + u'/' + name);
            QFile::remove(file.filePath());  // the reader always writes a new file
            mail.attachments[std::size_t(mail.attachmentCount++)] =
                test::WriteFile(file.path(), file.fileName(), "content of " + name.toUtf8());
        }
        return mail;
    }

    // A received message registered daysAgo at the time of day.
    mail::ReceivedMail Received(const QString& id, int daysAgo, const QTime& time, const QStringList& attachmentNames = {})
    {
        mail::ReceivedMail mail = Message(id, attachmentNames, QDateTime(QDate::currentDate().addDays(-daysAgo), time));
        Receipt(mail);
        return mail;
    }

    // The registrations and the purge, with what they report kept in order as the cycle logs it.
    void Receipt(const mail::ReceivedMail& mail) { Report(RegisterReceipt(settings, mail)); }
    void Processing(const mail::ReceivedMail& mail, int code, bool value)
    {
        const base::Result<QStringList> done = RegisterProcessing(settings, mail, code, value);
        reported += done ? *done : QStringList{done.ErrorText()};
    }
    void Purge() { Report(PurgeHistory(settings)); }
    void Report(const base::Status& done) { if (!done) reported << done.ErrorText(); }
    QStringList reported;
    // Reports a case does not look at are failures too: the registrations wrote what they could.
    void TearDown() override { EXPECT_TRUE(reported.isEmpty()) << reported.join(u'\n').toStdString(); }

    bool InWork(const QString& name) const { return QFileInfo::exists(WorkFolder(settings) + u'/' + name); }

    QStringList Remaining() const { return Db().Column("SELECT 保存ファイルID FROM tblHistory ORDER BY 1"); }

    // One column (or expression) of the message's history row.
    QVariant Column(const QString& id, const QString& column) const
    {
        const auto rows = Db().Rows("SELECT " + column + " FROM tblHistory WHERE 保存ファイルID=?", {id});
        EXPECT_EQ(rows.size(), 1) << id.toStdString();
        return rows.value(0).value(0);
    }

    // Columns of the message's history row, each with its expected text.
    void ExpectColumns(const QString& id, const std::vector<std::pair<const char*, QString>>& expected) const
    {
        for (const auto& [column, value] : expected) EXPECT_EQ(Column(id, column).toString(), value) << column;
    }

    // One column of each attachment row of the message, by attachment name.
    QStringList Files(const QString& id, const char* column) const
    {
        return Peek(DatabasePath()).Column(
            "SELECT " + QString::fromUtf8(column) + " FROM tblHistoryFiles WHERE 保存ファイルID = ? ORDER BY 添付ファイル名", {id});
    }
};

TEST_F(HistoryTest, ReceiptWritesTrimmedHeaderAndReplacesAttachmentRows)
{
    const QString id = QStringLiteral("it's.eml");
    mail::ReceivedMail mail = Message(id, {QStringLiteral("a.pdf"), QStringLiteral("b.txt")});
    mail.subject = QStringLiteral("  お知らせ  と 予定 ");
    mail.fromName = QStringLiteral(" 山田 太郎 ");
    Receipt(mail);
    ExpectColumns(id, {{"件名", "お知らせ  と 予定"}, {"送信アドレス名", "山田 太郎"}, {"受信日", "2008-03-31T23:59:59"},
                       {"ファイル数", "2"}});
    EXPECT_EQ(Files(id, "添付ファイル名"), (QStringList{QStringLiteral("a.pdf"), QStringLiteral("b.txt")}));
    EXPECT_EQ(Files(id, "添付ファイル名パス").value(0), mail.attachments[0]);

    // Fetched again without attachments: the old attachment rows go.
    mail.attachmentCount = 0;
    Receipt(mail);
    EXPECT_TRUE(Files(id, "添付ファイル名").isEmpty());

    // Two slots with one base name give one row holding the later path.
    mail::ReceivedMail twice = Message("m2.eml");
    twice.attachments = {"/first/same.txt", " /second/SAME.txt"};
    twice.attachmentCount = 2;
    Receipt(twice);
    EXPECT_EQ(Files("m2.eml", "添付ファイル名パス"), QStringList{"/second/SAME.txt"});
}

TEST_F(HistoryTest, ProcessingSetsOnlyItsOwnColumnAndASecondReceiptKeepsThem)
{
    // No receipt row (its registration failed): the first action adds a bare row.
    const QString id = QStringLiteral("bare.eml");
    mail::ReceivedMail mail = Message(id);
    for (const int code : {kActionForward, kActionPrint, kActionCommand}) Processing(mail, code, true);
    Processing(mail, kActionSave, false);
    EXPECT_TRUE(Column(id, "受信日").isNull());
    ExpectColumns(id, {{"印刷", "1"}, {"メール転送", "1"}, {"コマンド", "1"}, {"メール保存", "0"}, {"ボックスクリア", "0"},
                       {"ログ出力", "0"}, {"受信拒否", "0"}, {"メール保存先パス", ""}}); // false writes no path

    // The save folder is made again when it was removed after the cycle built it.
    ASSERT_TRUE(QDir(SaveFolder(settings)).removeRecursively());
    Processing(mail, kActionSave, true);
    EXPECT_TRUE(QFileInfo(SaveFolder(settings)).isDir());
    // A later receipt of the same message keeps the actions and the saved path.
    mail.subject = QStringLiteral("changed");
    Receipt(mail);
    ExpectColumns(id, {{"件名", "changed"}, {"印刷", "1"}, {"メール保存先パス", SaveFolder(settings) + "/bare.eml"}});
    EXPECT_EQ(Db().Count("SELECT count(*) FROM tblHistory"), 1);
}

TEST_F(HistoryTest, SaveCopiesAttachmentsIntoAFolderOfTheMessageOnceLogsALostOneAndTheDeleteRemovesThem)
{
    // Another message saved earlier has a report.pdf of its own.
    mail::ReceivedMail earlier = Message(QStringLiteral("earlier.eml"), {QStringLiteral("report.pdf")});
    test::WriteFile(earlier.attachmentFolder, QStringLiteral("report.pdf"), "another message");
    Processing(earlier, kActionSave, true);
    const QString id = QStringLiteral("save.eml");
    mail::ReceivedMail mail = Message(id, {QStringLiteral("report.pdf"), QStringLiteral("memo")});
    Receipt(mail);
    for (int i = 0; i < 2; ++i) Processing(mail, kActionSave, true);  // the second reuses the copies

    // Each message's copies in a folder named after it beside its saved copy: no numbered names.
    const QString save = SaveFolder(settings), own = save + QStringLiteral("/save.eml.files");
    EXPECT_EQ(Files(id, "添付ファイル保存先パス"), (QStringList{own + "/memo", own + "/report.pdf"}));
    EXPECT_EQ(Files(id, "添付ファイル名パス").value(1), mail.attachments[0]) << "the extracted path from the receipt stays";
    EXPECT_EQ(test::ReadFile(own + "/report.pdf"), "content of report.pdf");
    EXPECT_EQ(test::ReadFile(save + "/earlier.eml.files/report.pdf"), "another message") << "not overwritten";
    EXPECT_EQ(QDir(save).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
              (QStringList{"earlier.eml.files", "save.eml.files", "work"}));
    EXPECT_EQ(QFileInfo(own).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup), 0);

    // An attachment that cannot be copied is logged and left without a path; the save counts.
    // A path outside the message's own attachment folder is never copied, even when the file
    // exists (another message's attachment, a file of the program folder).
    mail::ReceivedMail lost = Message(QStringLiteral("lost.eml"));
    const QString secret = test::WriteFile(settings.programFolder, QStringLiteral("secret.ini"), "password");
    const QStringList sources{lost.attachmentFolder + QStringLiteral("/gone.bin"), secret,
                              earlier.attachmentFolder + QStringLiteral("/report.pdf")};
    for (const QString& source : sources) lost.attachments[std::size_t(lost.attachmentCount++)] = source;
    Processing(lost, kActionSave, true);
    EXPECT_EQ(Column(QStringLiteral("lost.eml"), "メール保存").toInt(), 1);
    EXPECT_EQ(Files(QStringLiteral("lost.eml"), "添付ファイル保存先パス"), (QStringList{"", "", ""}));
    const QStringList lines = std::exchange(reported, {});
    ASSERT_EQ(lines.size(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(lines[i].startsWith(kProcessingError.arg("lost.eml")) && lines[i].endsWith(sources[i]))
            << lines[i].toStdString();

    // The viewer's delete: the message's own copies go unless another message records them, one
    // outside the save folder stays, and every path the message recorded is emptied.
    Db().Exec("INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名, 添付ファイル保存先パス) VALUES "
              "('save.eml', 'secret.ini', ?), ('earlier.eml', 'memo', ?)",
              {secret, own + "/memo"});
    ASSERT_TRUE(OpenListDatabase(home.Path(), QStringLiteral("list")).Ok());
    EXPECT_TRUE(RemoveAttachmentCopies(ListConnection(), id, save).Ok());
    CloseListDatabase();
    EXPECT_EQ(QDir(own).entryList(QDir::Files), QStringList{QStringLiteral("memo")});
    EXPECT_TRUE(QFileInfo::exists(secret));
    EXPECT_EQ(Files(id, "添付ファイル保存先パス"), QStringList(3, QString()));
}

TEST_F(HistoryTest, RegistrationsOfASharedTransactionLandAtItsCommitOrAreToldAsLost)
{
    const mail::ReceivedMail kept = Message(QStringLiteral("kept.eml"), {QStringLiteral("k.txt")});
    const mail::ReceivedMail lost = Message(QStringLiteral("lost.eml"), {QStringLiteral("l.txt")});
    const QString save = SaveFolder(settings);
    QStringList log; // one line for each registration the lost commit held
    {
        const ListConnectionHold hold; // as a poll cycle holds its connection
        SharedTransaction shared;
        Receipt(kept);
        Processing(kept, kActionSave, true);
        EXPECT_TRUE(Remaining().isEmpty()) << "another connection sees nothing before the commit";
        const base::Status committed = shared.Commit();
        ASSERT_TRUE(committed.Ok()) << committed.ErrorText().toStdString();
        EXPECT_EQ(Remaining(), QStringList{QStringLiteral("kept.eml")});

        Receipt(lost);
        Processing(lost, kActionSave, true);
        EXPECT_TRUE(QFileInfo::exists(save + QStringLiteral("/lost.eml.files/l.txt")));
        // The transaction is gone behind the registrations' back, as a failing disk takes it.
        QSqlQuery(ListConnection()).exec(QStringLiteral("ROLLBACK"));
        EXPECT_FALSE(shared.Commit().Ok());
        log = shared.TakeLostWrites();
    }
    EXPECT_EQ(Remaining(), QStringList{QStringLiteral("kept.eml")});
    EXPECT_EQ(Column(QStringLiteral("kept.eml"), "メール保存").toInt(), 1);
    EXPECT_TRUE(QFileInfo::exists(save + QStringLiteral("/kept.eml.files/k.txt")));
    EXPECT_FALSE(QFileInfo::exists(save + "/lost.eml.files")) << "its copies go with the lost row";
    EXPECT_TRUE(LogEntries().isEmpty()) << "the transaction's owner logs";
    ASSERT_EQ(log.size(), 2) << log.join(u'\n').toStdString();
    EXPECT_EQ(log[0], QStringLiteral("受信履歴登録エラー[lost.eml]:from<taro@example.jp>山田 太郎"));
    EXPECT_TRUE(log[1].startsWith(kProcessingError.arg("lost.eml")) &&
                log[1].size() > kProcessingError.arg("lost.eml").size())
        << log[1];
}

TEST_F(HistoryTest, PurgeRemovesUnsavedRowsUpToMidnightOfTheCutoffDayButNeverAMessageWithoutDate)
{
    settings.keepDays = 60;
    Received(QStringLiteral("old"), 61, QTime(23, 59, 59));
    Received(QStringLiteral("midnight"), 60, QTime(0, 0, 0));
    Received(QStringLiteral("later-that-day"), 60, QTime(0, 0, 1));
    Processing(Received(QStringLiteral("saved"), 400, QTime(12, 0)), kActionSave, true);
    Processing(Message(QStringLiteral("undated")), kActionLog, true);
    Purge();
    EXPECT_EQ(Remaining(), (QStringList{"later-that-day", "saved", "undated"}));
    EXPECT_FALSE(InWork(QStringLiteral("old")) || InWork(QStringLiteral("midnight")));
    EXPECT_TRUE(InWork(QStringLiteral("saved")));

    // A received message without a date is stamped with its arrival, so the purge of its own
    // tick keeps it even with keepday 0.
    settings.keepDays = 0;
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    Receipt(Message(QStringLiteral("nodate.eml"), {}, QDateTime()));
    const QDateTime stamped = FromStoredDateTime(Column(QStringLiteral("nodate.eml"), "受信日").toString());
    EXPECT_TRUE(stamped >= before && stamped <= QDateTime::currentDateTime().addSecs(1)) << stamped.toString().toStdString();
    Purge();
    EXPECT_TRUE(Remaining().contains(QStringLiteral("nodate.eml")) && InWork(QStringLiteral("nodate.eml")));
}

TEST_F(HistoryTest, PurgeDeletesAttachmentRowsAndOnlyFilesOfTheMessagesOwnFolderWithThatFolder)
{
    settings.keepDays = 1;
    Received(QStringLiteral("m1"), 5, QTime(8, 0), {"a.pdf", "見積書 b.pdf", "../../keep.txt", "../escape.txt"});
    Processing(Received(QStringLiteral("m2"), 5, QTime(9, 0), {"kept.pdf"}), kActionSave, true);
    // Another message's file is not this message's to remove, and its folder stays.
    Received(QStringLiteral("m3"), 5, QTime(8, 0), {"x.txt", "../m4.files/y.txt"});
    Received(QStringLiteral("m4"), 0, QTime(0, 1), {"y.txt"});
    // Work file already gone: the row and its attachment rows still go.
    QFile::remove(Received(QStringLiteral("gone"), 5, QTime(10, 0), {"g.txt"}).file);
    // Attachment rows without a history row are left alone.
    Peek(DatabasePath()).Exec(QStringLiteral("INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名) VALUES ('orphan', 'o.txt')"));
    // Saved, then no longer, with its attachment copy still recorded: the copy goes with the row,
    // but a recorded copy outside the save folder stays.
    const mail::ReceivedMail unsaved = Received(QStringLiteral("m5"), 5, QTime(8, 0), {"c.pdf"});
    Processing(unsaved, kActionSave, true);
    Processing(unsaved, kActionSave, false);
    const QString copy = Files(QStringLiteral("m5"), "添付ファイル保存先パス").value(0);
    const QString outside = test::WriteFile(settings.programFolder, QStringLiteral("outside.txt"), "keep");
    Db().Exec("INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名, 添付ファイル保存先パス) "
              "VALUES ('m5', 'outside.txt', ?)",
              {outside});
    ASSERT_TRUE(QFileInfo(copy).isFile()) << copy.toStdString();
    ASSERT_EQ(QFileInfo(copy).path(), SaveFolder(settings) + QStringLiteral("/m5.files"));

    Purge();
    EXPECT_FALSE(QFileInfo::exists(copy) || QFileInfo::exists(QFileInfo(copy).path())) << "with its folder";
    EXPECT_TRUE(QFileInfo::exists(outside));
    EXPECT_TRUE(QFileInfo(Files(QStringLiteral("m2"), "添付ファイル保存先パス").value(0)).isFile())
        << "a saved message keeps its copies";
    EXPECT_EQ(Remaining(), (QStringList{QStringLiteral("m2"), QStringLiteral("m4")}));
    EXPECT_EQ(Db().Count("SELECT count(*) FROM tblHistoryFiles"), 3) << "m2, m4 and the orphan";
    for (const char* name : {"m4.files/y.txt", "../keep.txt", "escape.txt", "m2.files/kept.pdf"})
        EXPECT_TRUE(InWork(QString::fromUtf8(name))) << name << ": outside the message's own folder, or not purged";

    // A large backlog is removed by several workers; every file still goes.
    for (int i = 0; i < 120; ++i) Received(QStringLiteral("bulk%1").arg(i), 3, QTime(8, 0), {QStringLiteral("bulk%1.pdf").arg(i)});
    Purge();
    EXPECT_EQ(Remaining(), (QStringList{QStringLiteral("m2"), QStringLiteral("m4")}));
    EXPECT_EQ(QDir(WorkFolder(settings)).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
              (QStringList{"escape.txt", "m2", "m2.files", "m4", "m4.files"}));
}

TEST_F(HistoryTest, LockedOrMissingDatabaseLogsTheLineWritesNothingAndThePurgeWaitsForTheNextTick)
{
    settings.keepDays = 0;
    Received(QStringLiteral("old"), 3, QTime(8, 0), {"a.txt"});
    const mail::ReceivedMail mail = Message(QStringLiteral("x.eml"), {QStringLiteral("b.txt")});
    SetBusyTimeout(100);
    {
        Peek holder(DatabasePath());
        holder.Exec(QStringLiteral("BEGIN IMMEDIATE"));
        Receipt(mail);
        Processing(mail, kActionSave, true);
        Purge();
    } // the holder's connection closes: its transaction is rolled back
    SetBusyTimeout(5000);
    settings.listDatabaseName = QStringLiteral("absent");
    Processing(mail, kActionPrint, true);
    Purge();
    const QStringList log = std::exchange(reported, {});
    ASSERT_EQ(log.size(), 5) << log.join(u'\n').toStdString();
    const QString processingError = kProcessingError.arg(QStringLiteral("x.eml"));
    EXPECT_EQ(log[0], QStringLiteral("受信履歴登録エラー[x.eml]:from<taro@example.jp>山田 太郎"));
    for (const int i : {1, 3})
        EXPECT_TRUE(log[i].startsWith(processingError) && log[i].size() > processingError.size()) << log[i];
    EXPECT_TRUE(log[1].contains(QStringLiteral("locked")) && log[2].contains(QStringLiteral("locked")));
    EXPECT_TRUE(log[2].startsWith(QStringLiteral("ワーククリアエラー："))) << log[2].toStdString();
    EXPECT_TRUE(log[4].startsWith(QStringLiteral("ワーククリアエラー：["))) << log[4].toStdString();
    EXPECT_EQ(Remaining(), QStringList{QStringLiteral("old")});
    EXPECT_TRUE(InWork(QStringLiteral("old")) && InWork(QStringLiteral("old.files/a.txt")));
    EXPECT_FALSE(QFileInfo::exists(SaveFolder(settings) + "/b.txt")) << "an unregistered save copies nothing";

    settings.listDatabaseName = QStringLiteral("list");
    Purge();
    EXPECT_TRUE(Remaining().isEmpty());
    EXPECT_FALSE(InWork(QStringLiteral("old.files/a.txt")));
}

TEST(TightenProgramFolder, TakesBackMailInsideTheProgramFolderAndNothingOutsideIt)
{
    QTemporaryDir outer;
    const QString home = outer.filePath(QStringLiteral("home"));
    const auto others = QFileDevice::ReadGroup | QFileDevice::ReadOther;
    const auto open = QFileDevice::ReadOwner | QFileDevice::WriteOwner | others;
    const QString mail = test::WriteFile(home + QStringLiteral("/mail"), QStringLiteral("a.eml"), "x");
    const QString neighbour = test::WriteFile(outer.path(), QStringLiteral("neighbour.txt"), "x");
    ASSERT_TRUE(QFile::setPermissions(mail, open) && QFile::setPermissions(neighbour, open));
    config::SettingsRecord settings;
    settings.programFolder = home;
    settings.saveFolderName = QStringLiteral("..");
    (void)TightenProgramFolder(settings, true);
    EXPECT_EQ(QFileInfo(neighbour).permissions() & others, others) << "a save folder of \"..\" is not the program's";
    settings.saveFolderName = QStringLiteral("mail");
    (void)TightenProgramFolder(settings, true);
    EXPECT_EQ(QFileInfo(mail).permissions() & others, 0);
}

} // namespace
} // namespace lw::store
