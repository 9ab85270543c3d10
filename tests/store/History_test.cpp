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
        mail.toAddress = QStringLiteral("office@example.jp");
        mail.toName = QStringLiteral("事務所");
        mail.received = QDateTime(QDate(2008, 3, 31), QTime(23, 59, 59));
        for (const QString& name : attachmentNames) {
            const QString path = WorkFolder(settings) + u'/' + name;
            QFile::remove(path); // the reader always writes a new file, never into an old one
            QFile file(path);
            EXPECT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(("content of " + name).toUtf8());
            mail.attachments[std::size_t(mail.attachmentCount++)] = path;
        }
        return mail;
    }

    QSqlRecord HistoryRow(const QString& id) const
    {
        const auto rows = Peek(DatabasePath()).Rows(QStringLiteral("SELECT * FROM tblHistory WHERE 保存ファイルID = ?"), {id});
        EXPECT_EQ(rows.size(), 1) << id.toStdString();
        return rows.value(0);
    }

    QList<QSqlRecord> FileRows(const QString& id) const
    {
        return Peek(DatabasePath())
            .Rows(QStringLiteral("SELECT * FROM tblHistoryFiles WHERE 保存ファイルID = ? ORDER BY 添付ファイル名"), {id});
    }

    static QByteArray Contents(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

TEST_F(HistoryTest, ReceiptWritesTrimmedHeaderAndReplacesAttachmentRows)
{
    mail::ReceivedMail mail = Message(QStringLiteral("it's.eml"), {QStringLiteral("a.pdf"), QStringLiteral("b.txt")});
    mail.subject = QStringLiteral("  お知らせ  と 予定 ");
    mail.fromName = QStringLiteral(" 山田 太郎 ");
    RegisterReceipt(settings, mail);
    EXPECT_TRUE(LogEntries().isEmpty()) << LogEntries().join(u'\n').toStdString();

    QSqlRecord row = HistoryRow(QStringLiteral("it's.eml"));
    EXPECT_EQ(row.value(QStringLiteral("保存ファイルパス")).toString(), mail.file);
    EXPECT_EQ(row.value(QStringLiteral("件名")).toString(), QStringLiteral("お知らせ  と 予定"));
    EXPECT_EQ(row.value(QStringLiteral("送信アドレス")).toString(), QStringLiteral("taro@example.jp"));
    EXPECT_EQ(row.value(QStringLiteral("送信アドレス名")).toString(), QStringLiteral("山田 太郎"));
    EXPECT_EQ(row.value(QStringLiteral("受信アドレス名")).toString(), QStringLiteral("事務所"));
    EXPECT_EQ(row.value(QStringLiteral("受信日")).toString(), QStringLiteral("2008-03-31T23:59:59"));
    EXPECT_EQ(row.value(QStringLiteral("ファイル数")).toInt(), 2);
    EXPECT_EQ(row.value(QStringLiteral("メール保存")).toInt(), 0);
    auto files = FileRows(QStringLiteral("it's.eml"));
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[0].value(QStringLiteral("添付ファイル名")).toString(), QStringLiteral("a.pdf"));
    EXPECT_EQ(files[0].value(QStringLiteral("添付ファイル名パス")).toString(), mail.attachments[0]);

    // Fetched again without attachments: the old attachment rows go.
    mail.attachmentCount = 0;
    RegisterReceipt(settings, mail);
    EXPECT_EQ(HistoryRow(QStringLiteral("it's.eml")).value(QStringLiteral("ファイル数")).toInt(), 0);
    EXPECT_TRUE(FileRows(QStringLiteral("it's.eml")).isEmpty());

    // Two slots with one base name give one row holding the later path.
    mail::ReceivedMail twice = Message(QStringLiteral("m2.eml"));
    twice.attachments[0] = QStringLiteral("/first/same.txt");
    twice.attachments[1] = QStringLiteral(" /second/SAME.txt");
    twice.attachmentCount = 2;
    RegisterReceipt(settings, twice);
    files = FileRows(QStringLiteral("m2.eml"));
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(files[0].value(QStringLiteral("添付ファイル名パス")).toString(), QStringLiteral("/second/SAME.txt"));
}

TEST_F(HistoryTest, ReceiptWithoutUsableDateIsStampedWithTheRegistrationTime)
{
    mail::ReceivedMail mail = Message(QStringLiteral("nodate.eml"));
    mail.received = QDateTime();
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    RegisterReceipt(settings, mail);
    const QDateTime stored = FromStoredDateTime(HistoryRow(QStringLiteral("nodate.eml")).value(QStringLiteral("受信日")).toString());
    EXPECT_TRUE(stored.isValid());
    EXPECT_GE(stored, before);
    EXPECT_LE(stored, QDateTime::currentDateTime().addSecs(1));
    EXPECT_FALSE(mail.received.isValid()) << "the message keeps its zero date";
}

TEST_F(HistoryTest, SecondReceiptKeepsActionsAndSavedPath)
{
    mail::ReceivedMail mail = Message(QStringLiteral("again.eml"), {QStringLiteral("x.doc")});
    RegisterReceipt(settings, mail);
    RegisterProcessing(settings, mail, kActionPrint, true);
    RegisterProcessing(settings, mail, kActionSave, true);
    mail.subject = QStringLiteral("changed");
    RegisterReceipt(settings, mail);

    const QSqlRecord row = HistoryRow(QStringLiteral("again.eml"));
    EXPECT_EQ(row.value(QStringLiteral("件名")).toString(), QStringLiteral("changed"));
    EXPECT_EQ(row.value(QStringLiteral("印刷")).toInt(), 1);
    EXPECT_EQ(row.value(QStringLiteral("メール保存")).toInt(), 1);
    EXPECT_EQ(row.value(QStringLiteral("メール保存先パス")).toString(), SaveFolder(settings) + QStringLiteral("/again.eml"));
    EXPECT_EQ(Peek(DatabasePath()).Count(QStringLiteral("SELECT count(*) FROM tblHistory")), 1);
    EXPECT_TRUE(LogEntries().isEmpty()) << LogEntries().join(u'\n').toStdString();
}

TEST_F(HistoryTest, ProcessingSetsOnlyItsOwnColumnAndAddsMissingRows)
{
    // No receipt row (its registration failed): the first action adds a bare row.
    mail::ReceivedMail mail = Message(QStringLiteral("bare.eml"));
    RegisterProcessing(settings, mail, kActionForward, true);
    QSqlRecord row = HistoryRow(QStringLiteral("bare.eml"));
    EXPECT_EQ(row.value(QStringLiteral("メール転送")).toInt(), 1);
    EXPECT_TRUE(row.value(QStringLiteral("受信日")).isNull());
    EXPECT_EQ(row.value(QStringLiteral("件名")).toString(), QString(""));

    RegisterProcessing(settings, mail, kActionPrint, true);
    RegisterProcessing(settings, mail, kActionCommand, true);
    RegisterProcessing(settings, mail, kActionSave, false);
    row = HistoryRow(QStringLiteral("bare.eml"));
    for (const char* column : {"印刷", "メール転送", "コマンド"})
        EXPECT_EQ(row.value(QString::fromUtf8(column)).toInt(), 1) << column;
    for (const char* column : {"メール保存", "ボックスクリア", "ログ出力", "受信拒否"})
        EXPECT_EQ(row.value(QString::fromUtf8(column)).toInt(), 0) << column;
    EXPECT_EQ(row.value(QStringLiteral("メール保存先パス")).toString(), QString("")) << "false writes no path";

    // The save folder is made again when it was removed after the cycle built it.
    const QString save = SaveFolder(settings);
    ASSERT_TRUE(QDir(save).removeRecursively());
    RegisterProcessing(settings, mail, kActionLog, true);
    EXPECT_TRUE(QFileInfo(save).isDir());
    EXPECT_EQ(HistoryRow(QStringLiteral("bare.eml")).value(QStringLiteral("ログ出力")).toInt(), 1);

    // An unknown code still adds the row and changes nothing.
    mail::ReceivedMail other = Message(QStringLiteral("odd.eml"));
    RegisterProcessing(settings, other, 99, true);
    row = HistoryRow(QStringLiteral("odd.eml"));
    for (const char* column : {"印刷", "メール保存", "ボックスクリア", "ログ出力", "受信拒否", "メール転送", "コマンド"})
        EXPECT_EQ(row.value(QString::fromUtf8(column)).toInt(), 0) << column;
    EXPECT_TRUE(LogEntries().isEmpty()) << LogEntries().join(u'\n').toStdString();
}

TEST_F(HistoryTest, SaveRecordsPathsAndCopiesAttachmentsUnderFreeNames)
{
    // Another message saved earlier left its own report.pdf in the save folder.
    mail::ReceivedMail earlier = Message(QStringLiteral("earlier.eml"), {QStringLiteral("report.pdf")});
    {
        QFile::remove(earlier.attachments[0]);
        QFile file(earlier.attachments[0]);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("another message");
    }
    RegisterProcessing(settings, earlier, kActionSave, true);
    mail::ReceivedMail mail = Message(QStringLiteral("save.eml"), {QStringLiteral("report.pdf"), QStringLiteral("memo")});
    RegisterReceipt(settings, mail);
    RegisterProcessing(settings, mail, kActionSave, true);

    const QString save = SaveFolder(settings);
    const QSqlRecord row = HistoryRow(QStringLiteral("save.eml"));
    EXPECT_EQ(row.value(QStringLiteral("メール保存")).toInt(), 1);
    EXPECT_EQ(row.value(QStringLiteral("メール保存先パス")).toString(), save + QStringLiteral("/save.eml"));
    const auto files = FileRows(QStringLiteral("save.eml"));
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[0].value(QStringLiteral("添付ファイル名")).toString(), QStringLiteral("memo"));
    EXPECT_EQ(files[0].value(QStringLiteral("添付ファイル保存先パス")).toString(), save + QStringLiteral("/memo"));
    EXPECT_EQ(files[1].value(QStringLiteral("添付ファイル保存先パス")).toString(), save + QStringLiteral("/report (2).pdf"));
    EXPECT_EQ(Contents(save + QStringLiteral("/report (2).pdf")), QByteArray("content of report.pdf"));
    EXPECT_EQ(Contents(save + QStringLiteral("/report.pdf")), QByteArray("another message")) << "never overwritten";
    EXPECT_EQ(Contents(save + QStringLiteral("/memo")), QByteArray("content of memo"));
    EXPECT_EQ(files[1].value(QStringLiteral("添付ファイル名パス")).toString(), mail.attachments[0])
        << "the extracted path from the receipt stays";

    // Saving again reuses the copies instead of making new ones.
    RegisterProcessing(settings, mail, kActionSave, true);
    EXPECT_EQ(QDir(save).entryList(QDir::Files).size(), 3);
    EXPECT_TRUE(LogEntries().isEmpty()) << LogEntries().join(u'\n').toStdString();

    // An attachment that cannot be copied is logged and left without a path; the save counts.
    mail::ReceivedMail lost = Message(QStringLiteral("lost.eml"));
    lost.attachments[0] = WorkFolder(settings) + QStringLiteral("/gone.bin");
    lost.attachmentCount = 1;
    RegisterProcessing(settings, lost, kActionSave, true);
    EXPECT_EQ(HistoryRow(QStringLiteral("lost.eml")).value(QStringLiteral("メール保存")).toInt(), 1);
    EXPECT_EQ(FileRows(QStringLiteral("lost.eml")).value(0).value(QStringLiteral("添付ファイル保存先パス")).toString(), QString(""));
    ASSERT_EQ(LogEntries().size(), 1);
    EXPECT_TRUE(LogEntries()[0].startsWith(QStringLiteral("処理履歴登録エラー[lost.eml]:from<taro@example.jp>山田 太郎:")));
}

TEST_F(HistoryTest, MissingOrLockedDatabaseLogsTheLineAndWritesNothing)
{
    mail::ReceivedMail mail = Message(QStringLiteral("x.eml"), {QStringLiteral("a.txt")});
    settings.reffile = QStringLiteral("absent");
    RegisterReceipt(settings, mail);
    RegisterProcessing(settings, mail, kActionPrint, true);
    QStringList entries = LogEntries();
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries[0], QStringLiteral("受信履歴登録エラー[x.eml]:from<taro@example.jp>山田 太郎"));
    EXPECT_TRUE(entries[1].startsWith(QStringLiteral("処理履歴登録エラー[x.eml]:from<taro@example.jp>山田 太郎:")));
    EXPECT_GT(entries[1].size(), QStringLiteral("処理履歴登録エラー[x.eml]:from<taro@example.jp>山田 太郎:").size())
        << "the reason follows";
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
    EXPECT_EQ(entries[2], QStringLiteral("受信履歴登録エラー[x.eml]:from<taro@example.jp>山田 太郎"));
    EXPECT_TRUE(entries[3].contains(QStringLiteral("locked"))) << entries[3].toStdString();
    EXPECT_EQ(Peek(DatabasePath()).Count(QStringLiteral("SELECT count(*) FROM tblHistory")), 0);
    EXPECT_FALSE(QFileInfo::exists(SaveFolder(settings) + QStringLiteral("/a.txt")))
        << "a save that did not register leaves no copy";

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
    EXPECT_EQ(FileRows(QStringLiteral("x.eml")).size(), 1);
    EXPECT_EQ(LogEntries().size(), 4);
}

} // namespace
} // namespace lw::store
