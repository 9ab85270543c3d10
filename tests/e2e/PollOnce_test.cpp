// The real program, one tick at a time (--poll-once) and as a service, against the loopback
// servers: saved copies, history, log lines byte for byte, deletions and what reached the sink.
#include "e2e/HomeFixture.h"

#include <QDirIterator>
#include <QMessageAuthenticationCode>

#include <gmock/gmock.h>

#include <sys/stat.h>

namespace lw::test {
namespace {

using PollOnceTest = HomeFixture;
QString From(const QString& name, const QString& address)
{
    return "]:from<" + address + u'>' + name;
}

TEST_F(PollOnceTest, MacroForwardTakesOnlyUnlistedSendersMailAndNeverItsOwnForwards)
{
    const QString macro = Address("macro"), stranger = Address("stranger");
    Forwarding("0", macro.toUpper());
    WriteSettings();
    const QString rejected = Address("spam1"), rejectedClear = Address("spam2");
    AddRule(rejected, "111111");      // everything asked, reject wins
    AddRule(rejectedClear, "001110"); // reject + clear: one deletion, one reject line
    AddRule("postmaster@biglobe.ne.jp", "111100");
    DeliverJp("迷惑", rejected, "拒否1");
    DeliverJp("迷惑二", rejectedClear, "拒否2");
    DeliverJp("初めて", stranger, "お問い合わせ");
    Deliver(ReadFile(TEST_DATA_DIR "/mime/returned-mail-mailbox-full.eml"));
    Deliver(JapaneseMessage("", "x@y", "差出人なし", "本文").replace("From: <x@y>", "From: MAILER-DAEMON"));
    PollOk();

    const auto forwardLine = [&](const QString& subject) {
        return "マクロ転送[" + Base(PathOf(subject)) + "]:to<" + macro + "; cc:;bcc:>";
    };
    const QStringList expected{"受信拒否[" + Base(PathOf("拒否1")) + From("迷惑", rejected),
                               "受信拒否[" + Base(PathOf("拒否2")) + From("迷惑二", rejectedClear),
                               forwardLine("お問い合わせ"),
                               "フィルタリング実行[" + PathOf("Returned mail: Service unavailable") +
                                   "]:from<postmaster@biglobe.ne.jp>"};
    EXPECT_THAT(LogTexts(), testing::UnorderedElementsAreArray(expected));
    EXPECT_EQ(Query("SELECT COUNT(*) FROM tblHistory"), QStringList{"5"});
    // Both rejected messages left the server; no rule asked to clear the other three.
    EXPECT_EQ(Servers().MailboxCount(User()), 3);
    const auto forwarded = Servers().SinkMessagesTo(macro);
    ASSERT_EQ(forwarded.size(), 1u);
    const QByteArray& sent = forwarded[0].data;
    // The forward mark does not name the mailbox: a keyed hash under an owner-only secret.
    const QString keyFile = File("forward-mark.key");
    EXPECT_EQ(QFileInfo(keyFile).permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray identity = (User() + u'@' + Servers().host).toLower().toUtf8();
    const QByteArray mark =
        QMessageAuthenticationCode::hash(identity, ReadFile(keyFile).trimmed(), QCryptographicHash::Sha256)
            .toHex();
    EXPECT_TRUE(sent.contains("\r\nX-LarchWatcher-Forwarded: " + mark + "\r\n")) << sent.data();
    EXPECT_FALSE(sent.contains(identity));
    EXPECT_EQ(Column("拒否1", "受信拒否||印刷"), "10");

    // The forward coming back (its subject "Fw: " and the original) is not forwarded again; another
    // mailbox's mark is no bar; what an older version forwarded carries the identity in clear, and is ours.
    Deliver(sent);
    const QByteArray header = "X-LarchWatcher-Forwarded: ";
    Deliver(JapaneseMessage("他所", Address("other"), "他所からの転送", "本文")
                .replace("X-Mailer", header + "someone@other.example.jp\r\nX-Mailer"));
    Deliver(JapaneseMessage("旧版", Address("old"), "旧形式の転送", "本文")
                .replace("X-Mailer", header + identity.toUpper() + "\r\nX-Mailer"));
    PollOk();
    const QString notAgain = "]:このメールボックスから転送されたメールのため転送しません";
    EXPECT_EQ(LogTexts().mid(4), (QStringList{"転送抑止[" + Base(PathOf("Fw: お問い合わせ")) + notAgain,
                                              forwardLine("他所からの転送"),
                                              "転送抑止[" + Base(PathOf("旧形式の転送")) + notAgain}));
    EXPECT_EQ(Servers().SinkMessagesTo(macro).size(), 2u);
}

TEST_F(PollOnceTest, ServiceTakesTenMessagesATickAndGoesOnWhileTheServerIsDown)
{
    Set("Interval", "300");
    WriteSettings();
    const QString sender = Address("svc");
    AddRule(sender, "011100");
    for (int i = 0; i < 15; ++i)
        DeliverJp("定期", sender, QString("定期%1").arg(i));
    // No notification service in this session: the notices go to standard error (the journal).
    m_env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    const auto fourTicks = [](const QByteArray& s) { return s.count(" finished") >= 4; };
    QProcess p;
    StartService(p);
    QByteArray seen; // ten messages a tick: the third and fourth ticks are idle
    EXPECT_TRUE(ReadUntil(p, seen, fourTicks, 30000)) << seen.data();
    EXPECT_EQ(StopService(p), 0);
    const QString notices = p.readAllStandardError();
    EXPECT_TRUE(notices.contains("10通のメールを処理しました") &&
                notices.contains("5通のメールを処理しました"))
        << notices.toStdString();
    const QString out = seen + p.readAllStandardOutput();
    EXPECT_TRUE(out.contains("service stopped")) << out.toStdString();
    EXPECT_EQ(Servers().MailboxCount(User()), 0);

    // Server down: a failed fetch writes nothing to the log; the service goes on.
    Set("portpop", "9"); // nothing listens there: refused at once
    Set("Interval", "100");
    WriteSettings();
    const qsizetype logSize = LogTexts().size();
    QProcess down;
    StartService(down);
    QByteArray downOut;
    EXPECT_TRUE(ReadUntil(down, downOut, fourTicks, 30000)) << downOut.data();
    EXPECT_EQ(StopService(down, SIGINT), 0);
    // Failures in a row give one notice, not one per tick.
    EXPECT_EQ(QString(down.readAllStandardError()).count("回続けて失敗しました"), 1);
    EXPECT_EQ(LogTexts().size(), logSize);
}

// Paths below folder (relative, links not followed) that group or others may read or enter.
QStringList OpenToOthers(const QString& folder)
{
    QStringList open;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISLNK(st.st_mode) &&
            (st.st_mode & 077) != 0)
            open << QDir(folder).relativeFilePath(path);
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
    ASSERT_FALSE(WriteFile(SaveFolder() + "/old.eml.files", "a.pdf", "%PDF").isEmpty());
    ASSERT_TRUE(WriteFile(File("mail/old.eml"), "Subject: old\r\n\r\nx\r\n"));
    ASSERT_TRUE(WriteFile(File("notes.txt"), "not ours"));
    ASSERT_TRUE(QFile::link(File("notes.txt"), File("mail/link-to-notes")));
    ASSERT_TRUE(QFile::setPermissions(Home(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                                  QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                                  QFileDevice::ExeOther));
    ASSERT_EQ(OpenToOthers(Home()).size(), 7) << OpenToOthers(Home()).join(u' ').toStdString();

    PollOk(); // the database from the template, the work folder and its fetch state
    EXPECT_EQ(OpenToOthers(Home()), QStringList{"notes.txt"});
    EXPECT_TRUE(QFileInfo(Home()).permissions() ==
                (QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                 QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser));

    // An older unsaved message is purged by the tick, file and row.
    const QString oldFile = WriteFile(WorkFolder(), "old-1.eml", "Subject: old\r\n\r\nold\r\n");
    const QString yesterday = QDateTime::currentDateTime().addDays(-1).toString("yyyy-MM-ddTHH:mm:ss");
    Query("INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 件名, 受信日, メール保存) VALUES (?, ?, "
          "?, ?, ?)",
          {"old-1.eml", oldFile, "old unsaved", yesterday, 0});
    // Saved mail, its attachment, the notice, the log and the history of a message with a PDF attached,
    // after a message without any header that must not stop it.
    AddRule("broken@example.jp", "110100");
    Deliver(QByteArray());
    Deliver(ReadFile(TEST_DATA_DIR "/mime/broken-mime-unclosed-boundary.eml"));
    PollOk();
    ASSERT_EQ(LogTexts().size(), 2) << LogTexts().join(u'\n').toStdString();
    EXPECT_FALSE(QFileInfo::exists(oldFile) || Subjects().contains("old unsaved"));
    EXPECT_EQ(QDir(File("pdf")).entryList(QDir::Files).size(), 1);
    EXPECT_TRUE(QDirIterator(WorkFolder(), {"*.pdf"}, QDir::Files, QDirIterator::Subdirectories).hasNext())
        << "the attachment was written";
    EXPECT_EQ(OpenToOthers(Home()), QStringList{"notes.txt"});
}

} // namespace
} // namespace lw::test
