// The real program, one tick at a time (--poll-once) and as a service, against the loopback
// POP3 server and SMTP sink: folders, saved copies, history, log lines byte for byte, deletions
// on the server and what reached the sink.
#include "e2e/HomeFixture.h"

#include <QFileInfo>
#include <QTest>

#include <csignal>

namespace lw::test {
namespace {

class PollOnceTest : public HomeFixture {
protected:
    QString From(const QString& name, const QString& address) const { return QStringLiteral("]:from<") + address + u'>' + name; }
    QString Base(const QString& path) const { return QFileInfo(path).fileName(); }
    QString Saved(const QString& path) const { return SaveFolder() + Sep() + Base(path); }

    static QByteArray ReadAll(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
};

TEST_F(PollOnceTest, FirstRunCreatesTheDatabaseThenPrintSaveClearAndLogInThatOrder)
{
    WriteSettings();
    // An empty mailbox in an empty folder: the database comes from the template, no question.
    Run first = PollOnce();
    EXPECT_EQ(first.status, 0) << first.err.toStdString();
    EXPECT_TRUE(QFileInfo(Home() + Sep() + "list.db").isFile());
    EXPECT_TRUE(QFileInfo(WorkFolder()).isDir());
    EXPECT_TRUE(LogTexts().isEmpty());

    const QString sender = Address("yamada");
    AddRule(sender, "111100");
    const QString subject = QStringLiteral("見積書送付のご案内");
    Deliver(JapaneseMessage(QStringLiteral("山田 太郎"), sender, QStringLiteral("watch@example.jp"), subject,
                            QStringLiteral("いつもお世話になっております。\n見積書を送付いたします。\n")));
    Run run = PollOnce();
    EXPECT_EQ(run.status, 0) << run.err.toStdString();

    const QString path = PathOf(subject);
    ASSERT_FALSE(path.isEmpty());
    EXPECT_EQ(QFileInfo(path).absolutePath(), QFileInfo(WorkFolder()).absoluteFilePath());
    EXPECT_EQ(LogTexts(), (QStringList{
                              QStringLiteral("メール印刷[") + path + From(QStringLiteral("山田 太郎"), sender),
                              QStringLiteral("メール保存[") + Saved(path) + From(QStringLiteral("山田 太郎"), sender),
                              QStringLiteral("メールボックスクリア[") + Base(path) + From(QStringLiteral("山田 太郎"), sender),
                          }));
    EXPECT_EQ(ReadAll(Saved(path)), ReadAll(path)) << "the saved copy is the whole message";
    EXPECT_TRUE(QFileInfo(Home() + Sep() + "pdf" + Sep() + Base(path) + ".pdf").size() > 0);
    EXPECT_EQ(Servers().MailboxCount(User()), 0);
    EXPECT_EQ(Column(subject, "印刷"), "1");
    EXPECT_EQ(Column(subject, "メール保存"), "1");
    EXPECT_EQ(Column(subject, "ボックスクリア"), "1");
    EXPECT_EQ(Column(subject, "受信拒否"), "0");
    EXPECT_EQ(Column(subject, "送信アドレス名"), QStringLiteral("山田 太郎"));
    // No temporary file is left beside the saved copies.
    const QStringList leftovers = QDir(SaveFolder()).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(leftovers, QStringList{Base(path)});
}

TEST_F(PollOnceTest, RejectWithAndWithoutClearAndMacroForwardOfAnUnlistedSender)
{
    Set("flgtrs", "1");
    Set("flgtrstgt", "0");
    Set("trsto", Address("Macro").toUpper());
    WriteSettings();
    const QString rejected = Address("spam1");
    const QString rejectedClear = Address("spam2");
    const QString stranger = Address("stranger");
    AddRule(rejected, "111111");       // everything asked, reject wins
    AddRule(rejectedClear, "001110");  // reject + clear: one deletion, one reject line
    Deliver(JapaneseMessage(QStringLiteral("迷惑"), rejected, "w@example.jp", QStringLiteral("拒否1"), QStringLiteral("広告")));
    Deliver(JapaneseMessage(QStringLiteral("迷惑二"), rejectedClear, "w@example.jp", QStringLiteral("拒否2"), QStringLiteral("広告")));
    Deliver(JapaneseMessage(QStringLiteral("初めて"), stranger, "w@example.jp", QStringLiteral("お問い合わせ"), QStringLiteral("質問です")));
    Run run = PollOnce();
    EXPECT_EQ(run.status, 0) << run.err.toStdString();

    const QString p1 = PathOf(QStringLiteral("拒否1"));
    const QString p2 = PathOf(QStringLiteral("拒否2"));
    const QString p3 = PathOf(QStringLiteral("お問い合わせ"));
    const QString macro = Address("macro");
    QStringList expected{
        QStringLiteral("受信拒否[") + Base(p1) + From(QStringLiteral("迷惑"), rejected),
        QStringLiteral("受信拒否[") + Base(p2) + From(QStringLiteral("迷惑二"), rejectedClear),
        QStringLiteral("マクロ転送[") + Base(p3) + QStringLiteral("]:to<") + macro + QStringLiteral("; cc:;bcc:>"),
    };
    QStringList got = LogTexts();
    got.sort();
    expected.sort();
    EXPECT_EQ(got, expected);
    // Both rejected messages left the server; the stranger's stays (no rule asked to clear).
    EXPECT_EQ(Servers().MailboxCount(User()), 1);
    const auto forwarded = Servers().SinkMessagesTo(macro);
    ASSERT_EQ(forwarded.size(), 1u);
    EXPECT_TRUE(HasSubject(forwarded[0].data, QStringLiteral("Fw: お問い合わせ")));
    EXPECT_FALSE(QFileInfo::exists(Saved(p1)));
    EXPECT_EQ(Column(QStringLiteral("拒否1"), "受信拒否"), "1");
    EXPECT_EQ(Column(QStringLiteral("拒否1"), "印刷"), "0");
    EXPECT_EQ(Column(QStringLiteral("拒否2"), "ボックスクリア"), "0");
    EXPECT_EQ(Column(QStringLiteral("お問い合わせ"), "メール転送"), "1");
    EXPECT_FALSE(QDir(Home() + Sep() + "pdf").exists()) << "a rejected message is never printed";
}

TEST_F(PollOnceTest, ReturnedMailAndSenderWithoutAtAreRegisteredOnly)
{
    Set("flgtrs", "1");
    Set("trsto", Address("never"));
    WriteSettings();
    AddRule(QStringLiteral("postmaster@biglobe.ne.jp"), "111100");
    Deliver(ReadAll(QStringLiteral(MAIL_SAMPLES_DIR "/033-bounce-jp-biglobe-returned-mail.eml")));
    QByteArray noAt = JapaneseMessage(QString(), "x@y", "w@example.jp", QStringLiteral("差出人なし"), QStringLiteral("本文"));
    noAt.replace("From: <x@y>", "From: MAILER-DAEMON");
    Deliver(noAt);
    Run run = PollOnce();
    EXPECT_EQ(run.status, 0) << run.err.toStdString();

    const QString bounce = PathOf(QStringLiteral("Returned mail: Service unavailable"));
    EXPECT_EQ(LogTexts(), QStringList{QStringLiteral("フィルタリング実行[") + bounce +
                                      QStringLiteral("]:from<postmaster@biglobe.ne.jp>")});
    EXPECT_EQ(HistoryColumn("COUNT(*)"), QStringList{"2"});
    EXPECT_EQ(Column(QStringLiteral("差出人なし"), "メール転送"), "0");
    EXPECT_EQ(Servers().MailboxCount(User()), 2);
    EXPECT_TRUE(Servers().SinkMessagesTo(Address("never")).empty());
    EXPECT_EQ(QDir(SaveFolder()).entryList(QDir::Files), QStringList{});
}

TEST_F(PollOnceTest, AddressBookForwardOnlyForSendersInTheBook)
{
    Set("flgtrs", "1");
    Set("flgtrstgt", "1");
    Set("trsto", Address("book-to"));
    Set("trscc", Address("Book-CC") + "; " + Address("book-cc2"));
    WriteSettings();
    const QString known = Address("known");
    Exec(QStringLiteral("INSERT INTO tblAdrbook (電子メールアドレス, 表示名) VALUES (?, ?)"), {known.toUpper(), QStringLiteral("取引先")});
    Deliver(JapaneseMessage(QStringLiteral("取引先"), known, "w@example.jp", QStringLiteral("納品のご連絡"), QStringLiteral("本日発送")));
    Deliver(JapaneseMessage(QStringLiteral("他人"), Address("unknown"), "w@example.jp", QStringLiteral("ご挨拶"), QStringLiteral("こんにちは")));
    Run run = PollOnce();
    EXPECT_EQ(run.status, 0) << run.err.toStdString();

    const QString path = PathOf(QStringLiteral("納品のご連絡"));
    EXPECT_EQ(LogTexts(), QStringList{QStringLiteral("アドレス帳転送[") + Base(path) + QStringLiteral("]:to<") +
                                      Address("book-to") + QStringLiteral("; cc:") + Address("book-cc") + u'\t' +
                                      Address("book-cc2") + QStringLiteral(";bcc:>")});
    const auto sent = Servers().SinkMessagesTo(Address("book-to"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].rcptTos.size(), 3);
    EXPECT_EQ(Servers().SinkMessagesTo(Address("book-cc2")).size(), 1u);
    EXPECT_EQ(Column(QStringLiteral("ご挨拶"), "メール転送"), "0");
}

TEST_F(PollOnceTest, PerSenderForwardToTheRuleOrToTheFixedAddresses)
{
    Set("flgtrs", "1");
    Set("flgtrstgt", "2");
    Set("trsto", Address("fixed"));
    WriteSettings();
    const QString sender = Address("branch");
    AddRule(sender, "000101", Address("Rule-To"), Address("rule-cc"));
    Deliver(JapaneseMessage(QStringLiteral("支店"), sender, "w@example.jp", QStringLiteral("日報1"), QStringLiteral("本日の報告")));
    Deliver(JapaneseMessage(QStringLiteral("他人"), Address("other"), "w@example.jp", QStringLiteral("無関係"), QStringLiteral("本文")));
    Run run = PollOnce();
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    const QString p1 = PathOf(QStringLiteral("日報1"));
    EXPECT_EQ(LogTexts(), QStringList{QStringLiteral("送信者別転送[") + Base(p1) + QStringLiteral("]:") + Address("rule-to") +
                                      QStringLiteral("\t>#xfr ") + p1 + QStringLiteral("\tcc\t") + Address("rule-cc")});
    EXPECT_EQ(Servers().SinkMessagesTo(Address("rule-to")).size(), 1u);
    EXPECT_TRUE(Servers().SinkMessagesTo(Address("fixed")).empty()) << "an unlisted sender is not forwarded";

    // Fixed addresses win over the rule's when flgtrsto is set.
    Set("flgtrsto", "1");
    WriteSettings();
    Deliver(JapaneseMessage(QStringLiteral("支店"), sender, "w@example.jp", QStringLiteral("日報2"), QStringLiteral("翌日の報告")));
    run = PollOnce();
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    const QString p2 = PathOf(QStringLiteral("日報2"));
    EXPECT_EQ(LogTexts().value(1), QStringLiteral("送信者別転送[") + Base(p2) + QStringLiteral("]:") + Address("fixed") +
                                       QStringLiteral("\t>#xfr ") + p2);
    EXPECT_EQ(Servers().SinkMessagesTo(Address("fixed")).size(), 1u);
    EXPECT_EQ(Servers().SinkMessagesTo(Address("rule-to")).size(), 1u);
}

TEST_F(PollOnceTest, CommandMailChangesARuleBeforeTheMessagesOwnActionsAndLaterMessages)
{
    Set("flgcmd", "1");
    Set("cmdaccount", "remote");
    Set("cmdpassword", "s3cret");
    WriteSettings();
    const QString admin = Address("admin");
    const QString target = Address("target");
    AddRule(admin, "010100");  // save + log
    const QString block = QStringLiteral("設定変更です。\nmpp{acc=remote;pass=s3cret;listflg=%1;false;true;false;true;false;false;}\n以上")
                              .arg(target);
    Deliver(JapaneseMessage(QStringLiteral("管理者"), admin, "w@example.jp", QStringLiteral("設定変更"), block));
    Deliver(JapaneseMessage(QStringLiteral("対象"), target, "w@example.jp", QStringLiteral("変更後の受信"), QStringLiteral("本文")));
    Run run = PollOnce();
    EXPECT_EQ(run.status, 0) << run.err.toStdString();

    const QString p1 = PathOf(QStringLiteral("設定変更"));
    const QString p2 = PathOf(QStringLiteral("変更後の受信"));
    EXPECT_EQ(LogTexts(), (QStringList{
                              QStringLiteral("コマンド実行[") + p1 + QStringLiteral("]:remote:s3cret"),
                              QStringLiteral("メール保存[") + Saved(p1) + From(QStringLiteral("管理者"), admin),
                              QStringLiteral("メール保存[") + Saved(p2) + From(QStringLiteral("対象"), target),
                          }));
    EXPECT_EQ(Column(QStringLiteral("設定変更"), "コマンド"), "1");
}

TEST_F(PollOnceTest, TwentyFiveMessagesTakeThreeTicksAndAreNeverProcessedTwice)
{
    WriteSettings();
    const QString sender = Address("bulk");
    AddRule(sender, "010100");  // save + log, left on the server
    for (int i = 0; i < 25; ++i)
        Deliver(JapaneseMessage(QStringLiteral("一括"), sender, "w@example.jp", QStringLiteral("連番%1").arg(i, 2, 10, QChar(u'0')),
                                QStringLiteral("本文%1").arg(i)));
    for (const char* expected : {"10 messages fetched", "10 messages fetched", "5 messages fetched", "0 messages fetched"}) {
        Run run = PollOnce();
        EXPECT_EQ(run.status, 0) << run.err.toStdString();
        EXPECT_TRUE(run.out.startsWith(QString::fromLatin1(expected))) << run.out.toStdString();
    }
    QStringList subjects = HistoryColumn("件名");
    EXPECT_EQ(subjects.size(), 25);
    subjects.removeDuplicates();
    EXPECT_EQ(subjects.size(), 25);
    QStringList saved;
    for (const QString& line : LogTexts()) saved << line;
    saved.removeDuplicates();
    EXPECT_EQ(saved.size(), 25);
    EXPECT_EQ(QDir(SaveFolder()).entryList(QDir::Files).size(), 25);
    EXPECT_EQ(Servers().MailboxCount(User()), 25);
}

TEST_F(PollOnceTest, ServerDownEndsTheCycleQuietlyAndABrokenMessageDoesNotStopTheOthers)
{
    const SilentPort closed(false);
    Set("portpop", QString::number(closed.Port()));
    WriteSettings();
    Run down = PollOnce();
    EXPECT_NE(down.status, 0);
    EXPECT_FALSE(down.err.isEmpty());
    EXPECT_TRUE(LogTexts().isEmpty()) << "a failed fetch writes nothing to the log";

    Set("portpop", QString::number(Servers().pop3Port));
    WriteSettings();
    const QString sender = Address("sender");
    AddRule(sender, "011100");
    Deliver(QByteArray());  // no header at all: the part reader gives nothing
    QByteArray broken = JapaneseMessage(QStringLiteral("壊れ"), sender, "w@example.jp", QStringLiteral("壊れた添付"), QStringLiteral("x"));
    broken.replace("Content-Type: text/plain; charset=ISO-2022-JP",
                   "Content-Type: multipart/mixed; boundary=\"never-closed\"");
    broken += "--never-closed\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n\r\n%%%not base64";
    Deliver(broken);
    Deliver(JapaneseMessage(QStringLiteral("正常"), sender, "w@example.jp", QStringLiteral("正常な後続"), QStringLiteral("本文")));
    Run run = PollOnce();
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    const QString good = PathOf(QStringLiteral("正常な後続"));
    ASSERT_FALSE(good.isEmpty());
    EXPECT_TRUE(LogTexts().contains(QStringLiteral("メール保存[") + Saved(good) + From(QStringLiteral("正常"), sender)));
    // The message without headers stays on the server untouched; the others were cleared.
    EXPECT_LE(Servers().MailboxCount(User()), 1);
}

TEST_F(PollOnceTest, PurgeWithKeepdayZeroRemovesOlderUnsavedWork)
{
    Set("keepday", "0");
    WriteSettings();
    QDir().mkpath(WorkFolder());
    const QString oldFile = WorkFolder() + Sep() + "old-1.eml";
    {
        QFile f(oldFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("Subject: old\r\n\r\nold\r\n");
    }
    const QString yesterday = QDateTime::currentDateTime().addDays(-1).toString("yyyy-MM-ddTHH:mm:ss");
    Exec(QStringLiteral("INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 件名, 受信日, メール保存) VALUES (?, ?, ?, ?, 0)"),
         {"old-1.eml", oldFile, "old unsaved", yesterday});
    Exec(QStringLiteral("INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 件名, 受信日, メール保存) VALUES (?, ?, ?, ?, 1)"),
         {"old-2.eml", WorkFolder() + Sep() + "old-2.eml", "old saved", yesterday});
    Exec(QStringLiteral("INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名) VALUES (?, ?)"), {"old-1.eml", "a.pdf"});
    const QString sender = Address("today");
    AddRule(sender, "000100");
    Deliver(JapaneseMessage(QStringLiteral("本日"), sender, "w@example.jp", QStringLiteral("本日分"), QStringLiteral("本文")));
    Run run = PollOnce();
    EXPECT_EQ(run.status, 0) << run.err.toStdString();

    EXPECT_EQ(HistoryColumn("件名"), (QStringList{"old saved", QStringLiteral("本日分")}));
    EXPECT_FALSE(QFileInfo::exists(oldFile));
    QSqlQuery q(Database());
    ASSERT_TRUE(q.exec("SELECT COUNT(*) FROM tblHistoryFiles WHERE 保存ファイルID = 'old-1.eml'"));
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.value(0).toInt(), 0);
}

// Ticks of the service: "tick N started" and "tick N finished" lines with their times.
struct TickLine {
    QDateTime at;
    bool started;
    int number;
};

std::vector<TickLine> TickLines(const QString& out)
{
    static const QRegularExpression line(QStringLiteral("^(\\S+ \\S+) tick (\\d+) (started|finished)"),
                                         QRegularExpression::MultilineOption);
    std::vector<TickLine> ticks;
    for (auto it = line.globalMatch(out); it.hasNext();) {
        const auto m = it.next();
        ticks.push_back({QDateTime::fromString(m.captured(1), "yyyy/MM/dd hh:mm:ss.zzz"), m.captured(3) == "started",
                         m.captured(2).toInt()});
    }
    return ticks;
}

TEST_F(PollOnceTest, ServiceTicksNeverOverlapAndStopCleanly)
{
    Set("Interval", "300");
    WriteSettings();
    const QString sender = Address("svc");
    AddRule(sender, "011100");
    for (int i = 0; i < 15; ++i)
        Deliver(JapaneseMessage(QStringLiteral("定期"), sender, "w@example.jp", QStringLiteral("定期%1").arg(i), QStringLiteral("本文")));

    QProcess p;
    p.setProcessEnvironment(Environment());
    p.start(QStringLiteral(LW_PROGRAM), Arguments(QStringLiteral("--service")));
    ASSERT_TRUE(p.waitForStarted());
    // Every message handled (two ticks), then a few idle ticks.
    EXPECT_TRUE(QTest::qWaitFor([&] { return Servers().MailboxCount(User()) == 0; }, 15000));
    QThread::msleep(1000);
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_TRUE(out.contains("service stopped")) << out.toStdString();

    const std::vector<TickLine> ticks = TickLines(out);
    ASSERT_GE(ticks.size(), 6u) << out.toStdString();
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        EXPECT_EQ(ticks[i].started, i % 2 == 0) << "tick lines must alternate: " << out.toStdString();
        EXPECT_EQ(ticks[i].number, static_cast<int>(i / 2 + 1));
        if (i >= 2 && ticks[i].started) {
            EXPECT_GE(ticks[i - 1].at.msecsTo(ticks[i].at), 290) << "next tick one interval after the last";
        }
    }
    EXPECT_EQ(HistoryColumn("COUNT(*)"), QStringList{"15"});
    EXPECT_EQ(QDir(SaveFolder()).entryList(QDir::Files).size(), 15);
}

TEST_F(PollOnceTest, ServiceKeepsTickingWhileTheServerIsDown)
{
    const SilentPort closed(false);
    Set("portpop", QString::number(closed.Port()));
    Set("Interval", "100");
    WriteSettings();
    QProcess p;
    p.setProcessEnvironment(Environment());
    p.start(QStringLiteral(LW_PROGRAM), Arguments(QStringLiteral("--service")));
    ASSERT_TRUE(p.waitForStarted());
    QThread::msleep(1500);
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_GE(TickLines(out).size(), 6u) << out.toStdString();
    EXPECT_TRUE(LogTexts().isEmpty());
}

} // namespace
} // namespace lw::test
