// The real program, one tick at a time (--poll-once) and as a service, against the loopback
// servers: saved copies, history, log lines byte for byte, deletions and what reached the sink.
#include "e2e/HomeFixture.h"

#include <QDirIterator>

#include <sys/stat.h>

namespace lw::test {
namespace {

using PollOnceTest = HomeFixture;

TEST_F(PollOnceTest, ServiceSaysWhatItDidOnStandardErrorAndGoesOnWhileTheServerIsDown)
{
    Set("Interval", "100");
    WriteSettings();
    const QString sender = Address("svc");
    AddRule(sender, "011100");
    DeliverJp("定期", sender, "定期");
    // No notification service in this session: the notices go to standard error (the journal).
    m_env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    QProcess p;
    QByteArray seen = StartService(p);
    EXPECT_TRUE(ReadUntil(p, seen, " finished", 4, 30000)) << seen.data();
    EXPECT_EQ(Finish(p, SIGTERM), 0);
    EXPECT_EQ(QString(p.readAllStandardError()).count("1通のメールを処理しました"), 1); // idle ticks: none
    EXPECT_TRUE(ReadUntil(p, seen, "service stopped")) << seen.data();
    EXPECT_EQ(Servers().MailboxCount(User()), 0);

    // Server down: a failed fetch writes nothing to the log; the service goes on.
    Set("portpop", "9"); // nothing listens there: refused at once
    WriteSettings();
    const qsizetype logSize = LogTexts().size();
    seen = StartService(p);
    EXPECT_TRUE(ReadUntil(p, seen, " finished", 4, 30000)) << seen.data();
    EXPECT_EQ(Finish(p, SIGINT), 0);
    // Failures in a row give one notice, not one per tick.
    EXPECT_EQ(QString(p.readAllStandardError()).count("回続けて失敗しました"), 1);
    EXPECT_EQ(LogTexts().size(), logSize);
}

// Paths below folder (relative, links not followed) that group or others may read or enter.
QStringList OpenToOthers(const QString& folder)
{
    QStringList open;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        if (!info.isSymLink() && (info.permissions().toInt() & 0x77) != 0)
            open << QDir(folder).relativeFilePath(info.filePath());
    }
    open.sort();
    return open;
}

TEST_F(PollOnceTest, TheProgramFolderIsTheOwnersAloneWhateverTheUmaskAndOlderFilesAreTightened)
{
    struct Umask {
        mode_t old = ::umask(022);
        ~Umask() { ::umask(old); }
    } usual;
    // What an older version left open, and a file of someone else's that is no part of the program's data.
    Set("keepday", "0");
    WriteSettings();
    ASSERT_TRUE(WriteFile(File("log200001.txt"), "2000/01/01 00:00:00==> x\r\r\n"));
    ASSERT_FALSE(WriteFile(File("mail/old.eml.files"), "a.pdf", "%PDF").isEmpty());
    ASSERT_TRUE(WriteFile(File("mail/old.eml"), "Subject: old\r\n\r\nx\r\n"));
    ASSERT_TRUE(WriteFile(File("notes.txt"), "not ours"));
    ASSERT_TRUE(QFile::link(File("notes.txt"), File("mail/link-to-notes")));
    ASSERT_EQ(::chmod(QFile::encodeName(Home()).constData(), 0755), 0);
    ASSERT_EQ(OpenToOthers(Home()).size(), 7) << OpenToOthers(Home()).join(u' ').toStdString();

    PollOnce(); // the database from the template, the work folder and its fetch state
    EXPECT_EQ(OpenToOthers(Home()), QStringList{"notes.txt"});
    EXPECT_EQ(QFileInfo(Home()).permissions().toInt(), 0x7700) << "read, write and enter for the owner alone";

    // An older unsaved message is purged by the tick, file and row.
    const QString oldFile = WriteFile(WorkFolder(), "old-1.eml", "Subject: old\r\n\r\nold\r\n");
    const QString yesterday = QDateTime::currentDateTime().addDays(-1).toString("yyyy-MM-ddTHH:mm:ss");
    Query("INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 件名, 受信日, メール保存) "
          "VALUES (?, ?, ?, ?, ?)",
          {"old-1.eml", oldFile, "old unsaved", yesterday, 0});
    // Saved mail, its attachment, the notice, the log and the history of a message with a PDF attached,
    // after a message without any header that must not stop it.
    AddRule("broken@example.jp", "110100");
    Deliver(QByteArray());
    Deliver(ReadFile(TEST_DATA_DIR "/mime/broken-mime-unclosed-boundary.eml"));
    PollOnce();
    ASSERT_EQ(LogTexts().size(), 2) << LogTexts().join(u'\n').toStdString();
    EXPECT_FALSE(QFileInfo::exists(oldFile) || Subjects().contains("old unsaved"));
    EXPECT_EQ(QDir(File("pdf")).entryList(QDir::Files).size(), 1);
    EXPECT_TRUE(QDirIterator(WorkFolder(), {"*.pdf"}, QDir::Files, QDirIterator::Subdirectories).hasNext())
        << "the attachment was written";
    EXPECT_EQ(OpenToOthers(Home()), QStringList{"notes.txt"});
}

} // namespace
} // namespace lw::test
