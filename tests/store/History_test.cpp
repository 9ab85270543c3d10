#include "store/History.h"

#include "store/FindOrAdd.h"
#include "store/Folders.h"
#include "store/ListDatabase.h"
#include "store/StoreFixture.h"

#include <QDir>
#include <QFileInfo>

#include <future>
#include <thread>

namespace lw::store {
namespace {

using test::Peek;

const QString kProcessingError = QStringLiteral("処理履歴登録エラー[%1]:from<taro@example.jp>山田 太郎:");

class HistoryTest : public test::StoreFixture {
protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        ASSERT_TRUE(QDir().mkpath(WorkFolder(settings)));
    }

    // A message stored in the work folder, with attachment files written there.
    mail::ReceivedMail Message(const QString& id, const QStringList& attachmentNames = {})
    {
        mail::ReceivedMail mail;
        mail.file = WorkFolder(settings) + u'/' + id;
        mail.subject = QStringLiteral("件名");
        mail.fromAddress = QStringLiteral("taro@example.jp");
        mail.fromName = QStringLiteral("山田 太郎");
        mail.toName = QStringLiteral("事務所");
        mail.received = QDateTime(QDate(2008, 3, 31), QTime(23, 59, 59));
        for (const QString& name : attachmentNames)
            mail.attachments[std::size_t(mail.attachmentCount++)] = Write(WorkFolder(settings) + u'/' + name, "content of " + name);
        return mail;
    }

    static QString Write(const QString& path, const QString& text)
    {
        QFile::remove(path); // the reader always writes a new file, never into an old one
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
        return path;
    }

    // One column of the message's history row.
    QVariant Column(const QString& id, const char* column) const
    {
        const auto rows = Peek(DatabasePath()).Rows(QStringLiteral("SELECT * FROM tblHistory WHERE 保存ファイルID = ?"), {id});
        EXPECT_EQ(rows.size(), 1) << id.toStdString();
        return rows.value(0).value(QString::fromUtf8(column));
    }

    // One column of each attachment row of the message, by attachment name.
    QStringList Files(const QString& id, const char* column) const
    {
        QStringList values;
        for (const QSqlRecord& row : Peek(DatabasePath()).Rows(
                 QStringLiteral("SELECT * FROM tblHistoryFiles WHERE 保存ファイルID = ? ORDER BY 添付ファイル名"), {id}))
            values << row.value(QString::fromUtf8(column)).toString();
        return values;
    }

    static QByteArray Contents(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

TEST_F(HistoryTest, ReceiptWritesTrimmedHeaderAndReplacesAttachmentRows)
{
    const QString id = QStringLiteral("it's.eml");
    mail::ReceivedMail mail = Message(id, {QStringLiteral("a.pdf"), QStringLiteral("b.txt")});
    mail.subject = QStringLiteral("  お知らせ  と 予定 ");
    mail.fromName = QStringLiteral(" 山田 太郎 ");
    RegisterReceipt(settings, mail);
    EXPECT_EQ(Column(id, "保存ファイルパス").toString(), mail.file);
    EXPECT_EQ(Column(id, "件名").toString(), QStringLiteral("お知らせ  と 予定"));
    EXPECT_EQ(Column(id, "送信アドレス名").toString(), QStringLiteral("山田 太郎"));
    EXPECT_EQ(Column(id, "受信アドレス名").toString(), QStringLiteral("事務所"));
    EXPECT_EQ(Column(id, "受信日").toString(), QStringLiteral("2008-03-31T23:59:59"));
    EXPECT_EQ(Column(id, "ファイル数").toInt(), 2);
    EXPECT_EQ(Files(id, "添付ファイル名"), (QStringList{QStringLiteral("a.pdf"), QStringLiteral("b.txt")}));
    EXPECT_EQ(Files(id, "添付ファイル名パス").value(0), mail.attachments[0]);

    // Fetched again without attachments: the old attachment rows go.
    mail.attachmentCount = 0;
    RegisterReceipt(settings, mail);
    EXPECT_EQ(Column(id, "ファイル数").toInt(), 0);
    EXPECT_TRUE(Files(id, "添付ファイル名").isEmpty());

    // Two slots with one base name give one row holding the later path.
    mail::ReceivedMail twice = Message(QStringLiteral("m2.eml"));
    twice.attachments[0] = QStringLiteral("/first/same.txt");
    twice.attachments[1] = QStringLiteral(" /second/SAME.txt");
    twice.attachmentCount = 2;
    RegisterReceipt(settings, twice);
    EXPECT_EQ(Files(QStringLiteral("m2.eml"), "添付ファイル名パス"), QStringList{QStringLiteral("/second/SAME.txt")});

    // No usable date: stamped with the registration time.
    mail::ReceivedMail undated = Message(QStringLiteral("nodate.eml"));
    undated.received = QDateTime();
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    RegisterReceipt(settings, undated);
    const QDateTime stored = FromStoredDateTime(Column(QStringLiteral("nodate.eml"), "受信日").toString());
    EXPECT_GE(stored, before);
    EXPECT_LE(stored, QDateTime::currentDateTime().addSecs(1));
    EXPECT_TRUE(LogEntries().isEmpty()) << LogEntries().join(u'\n').toStdString();
}

TEST_F(HistoryTest, ProcessingSetsOnlyItsOwnColumnAndASecondReceiptKeepsThem)
{
    // No receipt row (its registration failed): the first action adds a bare row.
    const QString id = QStringLiteral("bare.eml");
    mail::ReceivedMail mail = Message(id);
    RegisterProcessing(settings, mail, kActionForward, true);
    EXPECT_EQ(Column(id, "メール転送").toInt(), 1);
    EXPECT_TRUE(Column(id, "受信日").isNull());

    RegisterProcessing(settings, mail, kActionPrint, true);
    RegisterProcessing(settings, mail, kActionCommand, true);
    RegisterProcessing(settings, mail, kActionSave, false);
    for (const char* column : {"印刷", "メール転送", "コマンド"}) EXPECT_EQ(Column(id, column).toInt(), 1) << column;
    for (const char* column : {"メール保存", "ボックスクリア", "ログ出力", "受信拒否"})
        EXPECT_EQ(Column(id, column).toInt(), 0) << column;
    EXPECT_EQ(Column(id, "メール保存先パス").toString(), QString("")) << "false writes no path";

    // The save folder is made again when it was removed after the cycle built it.
    ASSERT_TRUE(QDir(SaveFolder(settings)).removeRecursively());
    RegisterProcessing(settings, mail, kActionLog, true);
    EXPECT_TRUE(QFileInfo(SaveFolder(settings)).isDir());
    EXPECT_EQ(Column(id, "ログ出力").toInt(), 1);

    // A later receipt of the same message keeps the actions and the saved path.
    RegisterProcessing(settings, mail, kActionSave, true);
    mail.subject = QStringLiteral("changed");
    RegisterReceipt(settings, mail);
    EXPECT_EQ(Column(id, "件名").toString(), QStringLiteral("changed"));
    EXPECT_EQ(Column(id, "印刷").toInt(), 1);
    EXPECT_EQ(Column(id, "メール保存").toInt(), 1);
    EXPECT_EQ(Column(id, "メール保存先パス").toString(), SaveFolder(settings) + QStringLiteral("/bare.eml"));
    EXPECT_EQ(Peek(DatabasePath()).Count(QStringLiteral("SELECT count(*) FROM tblHistory")), 1);
    EXPECT_TRUE(LogEntries().isEmpty()) << LogEntries().join(u'\n').toStdString();
}

TEST_F(HistoryTest, SaveRecordsPathsAndCopiesAttachmentsUnderFreeNames)
{
    // Another message saved earlier left its own report.pdf in the save folder.
    mail::ReceivedMail earlier = Message(QStringLiteral("earlier.eml"), {QStringLiteral("report.pdf")});
    Write(earlier.attachments[0], QStringLiteral("another message"));
    RegisterProcessing(settings, earlier, kActionSave, true);
    const QString id = QStringLiteral("save.eml");
    mail::ReceivedMail mail = Message(id, {QStringLiteral("report.pdf"), QStringLiteral("memo")});
    RegisterReceipt(settings, mail);
    RegisterProcessing(settings, mail, kActionSave, true);

    const QString save = SaveFolder(settings);
    EXPECT_EQ(Column(id, "メール保存先パス").toString(), save + QStringLiteral("/save.eml"));
    EXPECT_EQ(Files(id, "添付ファイル保存先パス"), (QStringList{save + QStringLiteral("/memo"), save + QStringLiteral("/report (2).pdf")}));
    EXPECT_EQ(Files(id, "添付ファイル名パス").value(1), mail.attachments[0]) << "the extracted path from the receipt stays";
    EXPECT_EQ(Contents(save + QStringLiteral("/report (2).pdf")), QByteArray("content of report.pdf"));
    EXPECT_EQ(Contents(save + QStringLiteral("/report.pdf")), QByteArray("another message")) << "never overwritten";

    // Saving again reuses the copies instead of making new ones.
    RegisterProcessing(settings, mail, kActionSave, true);
    EXPECT_EQ(QDir(save).entryList(QDir::Files).size(), 3);
    EXPECT_TRUE(LogEntries().isEmpty()) << LogEntries().join(u'\n').toStdString();

    // An attachment that cannot be copied is logged and left without a path; the save counts.
    mail::ReceivedMail lost = Message(QStringLiteral("lost.eml"));
    lost.attachments[0] = WorkFolder(settings) + QStringLiteral("/gone.bin");
    lost.attachmentCount = 1;
    RegisterProcessing(settings, lost, kActionSave, true);
    EXPECT_EQ(Column(QStringLiteral("lost.eml"), "メール保存").toInt(), 1);
    EXPECT_EQ(Files(QStringLiteral("lost.eml"), "添付ファイル保存先パス"), QStringList{QString("")});
    ASSERT_EQ(LogEntries().size(), 1);
    EXPECT_TRUE(LogEntries()[0].startsWith(kProcessingError.arg(QStringLiteral("lost.eml"))));
}

TEST_F(HistoryTest, MissingOrLockedDatabaseLogsTheLineAndWritesNothing)
{
    const QString receiptError = QStringLiteral("受信履歴登録エラー[x.eml]:from<taro@example.jp>山田 太郎");
    mail::ReceivedMail mail = Message(QStringLiteral("x.eml"), {QStringLiteral("a.txt")});
    settings.reffile = QStringLiteral("absent");
    RegisterReceipt(settings, mail);
    RegisterProcessing(settings, mail, kActionPrint, true);
    QStringList entries = LogEntries();
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries[0], receiptError);
    EXPECT_TRUE(entries[1].startsWith(kProcessingError.arg(QStringLiteral("x.eml"))));
    EXPECT_GT(entries[1].size(), kProcessingError.arg(QStringLiteral("x.eml")).size()) << "the reason follows";
    EXPECT_FALSE(QFileInfo::exists(home.File(QStringLiteral("absent.db"))));

    settings.reffile = QStringLiteral("list");
    SetBusyTimeout(100);
    {
        Peek holder(DatabasePath());
        holder.Exec(QStringLiteral("BEGIN IMMEDIATE"));
        RegisterReceipt(settings, mail);
        RegisterProcessing(settings, mail, kActionSave, true);
        holder.Exec(QStringLiteral("ROLLBACK"));
    }
    SetBusyTimeout(5000);
    entries = LogEntries();
    ASSERT_EQ(entries.size(), 4);
    EXPECT_EQ(entries[2], receiptError);
    EXPECT_TRUE(entries[3].contains(QStringLiteral("locked"))) << entries[3].toStdString();
    EXPECT_EQ(Peek(DatabasePath()).Count(QStringLiteral("SELECT count(*) FROM tblHistory")), 0);
    EXPECT_FALSE(QFileInfo::exists(SaveFolder(settings) + QStringLiteral("/a.txt"))) << "a save that did not register leaves no copy";

    // The next registration opens afresh and waits out a short lock held by another thread.
    std::promise<void> locked;
    std::thread holder([this, &locked] {
        Peek peek(DatabasePath());
        peek.Exec(QStringLiteral("BEGIN IMMEDIATE"));
        locked.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        peek.Exec(QStringLiteral("COMMIT"));
    });
    locked.get_future().wait();
    RegisterReceipt(settings, mail);
    holder.join();
    EXPECT_EQ(Files(QStringLiteral("x.eml"), "添付ファイル名").size(), 1);
    EXPECT_EQ(LogEntries().size(), 4);
}

} // namespace
} // namespace lw::store
