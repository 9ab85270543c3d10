// The real program, one tick at a time (--poll-once) and as a service, against the loopback
// servers: saved copies, history, log lines byte for byte, deletions and what reached the sink.
#include "e2e/HomeFixture.h"

#include <QRegularExpression>
#include <QTest>

#include <tuple>

namespace lw::test {
namespace {

class PollOnceTest : public HomeFixture {
protected:
    QString From(const QString& name, const QString& address) const { return QStringLiteral("]:from<") + address + u'>' + name; }

    void DeliverJp(const QString& name, const QString& from, const QString& subject, const QString& body = QStringLiteral("本文"))
    {
        Deliver(JapaneseMessage(name, from, subject, body));
    }

    void PollOk()
    {
        const Run run = PollOnce();
        EXPECT_EQ(run.status, 0) << run.err.toStdString();
    }

    void Forwarding(const char* target, const QString& to)
    {
        Set("flgtrs", "1");
        Set("flgtrstgt", QString::fromLatin1(target));
        Set("trsto", to);
    }
};

TEST_F(PollOnceTest, FirstRunCreatesTheDatabaseThenPrintSaveClearAndLogInThatOrder)
{
    WriteSettings();
    // An empty mailbox in an empty folder: the database comes from the template, no question.
    PollOk();
    EXPECT_TRUE(QFileInfo(Home() + Sep() + "list.db").isFile());
    EXPECT_TRUE(QFileInfo(WorkFolder()).isDir());
    EXPECT_TRUE(LogTexts().isEmpty());

    const QString sender = Address("yamada");
    AddRule(sender, "111100");
    const QString subject = QStringLiteral("見積書送付のご案内");
    DeliverJp(QStringLiteral("山田 太郎"), sender, subject, QStringLiteral("いつもお世話になっております。\n見積書を送付いたします。\n"));
    PollOk();

    const QString path = PathOf(subject);
    ASSERT_FALSE(path.isEmpty());
    EXPECT_EQ(QFileInfo(path).absolutePath(), QFileInfo(WorkFolder()).absoluteFilePath());
    const QString from = From(QStringLiteral("山田 太郎"), sender);
    EXPECT_EQ(LogTexts(), (QStringList{QStringLiteral("メール印刷[") + path + from, QStringLiteral("メール保存[") + Saved(path) + from,
                                       QStringLiteral("メールボックスクリア[") + Base(path) + from}));
    EXPECT_EQ(ReadAll(Saved(path)), ReadAll(path)) << "the saved copy is the whole message";
    EXPECT_GT(QFileInfo(Home() + Sep() + "pdf" + Sep() + Base(path) + ".pdf").size(), 0);
    EXPECT_EQ(Servers().MailboxCount(User()), 0);
    for (const char* column : {"印刷", "メール保存", "ボックスクリア"}) EXPECT_EQ(Column(subject, column), "1") << column;
    EXPECT_EQ(Column(subject, "受信拒否"), "0");
    EXPECT_EQ(Column(subject, "送信アドレス名"), QStringLiteral("山田 太郎"));
    EXPECT_EQ(QDir(SaveFolder()).entryList(QDir::Files | QDir::Hidden), QStringList{Base(path)}) << "no temporary left";
}

TEST_F(PollOnceTest, RejectWithAndWithoutClearAndMacroForwardOfAnUnlistedSender)
{
    Forwarding("0", Address("Macro").toUpper());
    WriteSettings();
    const QString rejected = Address("spam1");
    const QString rejectedClear = Address("spam2");
    AddRule(rejected, "111111");       // everything asked, reject wins
    AddRule(rejectedClear, "001110");  // reject + clear: one deletion, one reject line
    DeliverJp(QStringLiteral("迷惑"), rejected, QStringLiteral("拒否1"));
    DeliverJp(QStringLiteral("迷惑二"), rejectedClear, QStringLiteral("拒否2"));
    DeliverJp(QStringLiteral("初めて"), Address("stranger"), QStringLiteral("お問い合わせ"));
    PollOk();

    const QString p1 = PathOf(QStringLiteral("拒否1"));
    const QString macro = Address("macro");
    QStringList expected{
        QStringLiteral("受信拒否[") + Base(p1) + From(QStringLiteral("迷惑"), rejected),
        QStringLiteral("受信拒否[") + Base(PathOf(QStringLiteral("拒否2"))) + From(QStringLiteral("迷惑二"), rejectedClear),
        QStringLiteral("マクロ転送[") + Base(PathOf(QStringLiteral("お問い合わせ"))) + QStringLiteral("]:to<") + macro +
            QStringLiteral("; cc:;bcc:>"),
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
    EXPECT_FALSE(QDir(Home() + Sep() + "pdf").exists()) << "a rejected message is never printed";
}

TEST_F(PollOnceTest, ReturnedMailAndSenderWithoutAtAreRegisteredOnly)
{
    Forwarding("0", Address("never"));
    WriteSettings();
    AddRule(QStringLiteral("postmaster@biglobe.ne.jp"), "111100");
    Deliver(ReadAll(QStringLiteral(MAIL_SAMPLES_DIR "/033-bounce-jp-biglobe-returned-mail.eml")));
    QByteArray noAt = JapaneseMessage(QString(), "x@y", QStringLiteral("差出人なし"), QStringLiteral("本文"));
    noAt.replace("From: <x@y>", "From: MAILER-DAEMON");
    Deliver(noAt);
    PollOk();

    const QString bounce = PathOf(QStringLiteral("Returned mail: Service unavailable"));
    EXPECT_EQ(LogTexts(), QStringList{QStringLiteral("フィルタリング実行[") + bounce +
                                      QStringLiteral("]:from<postmaster@biglobe.ne.jp>")});
    EXPECT_EQ(HistoryColumn("COUNT(*)"), QStringList{"2"});
    EXPECT_EQ(Servers().MailboxCount(User()), 2);
    EXPECT_TRUE(Servers().SinkMessagesTo(Address("never")).empty());
    EXPECT_EQ(QDir(SaveFolder()).entryList(QDir::Files), QStringList{});
}

TEST_F(PollOnceTest, AddressBookAndPerSenderForwardOnlyForKnownSenders)
{
    Forwarding("1", Address("book-to"));
    Set("trscc", Address("Book-CC") + "; " + Address("book-cc2"));
    WriteSettings();
    const QString known = Address("known");
    Exec(QStringLiteral("INSERT INTO tblAdrbook (電子メールアドレス, 表示名) VALUES (?, ?)"), {known.toUpper(), QStringLiteral("取引先")});
    DeliverJp(QStringLiteral("取引先"), known, QStringLiteral("納品のご連絡"));
    DeliverJp(QStringLiteral("他人"), Address("unknown"), QStringLiteral("ご挨拶"));
    PollOk();
    EXPECT_EQ(LogTexts(), QStringList{QStringLiteral("アドレス帳転送[") + Base(PathOf(QStringLiteral("納品のご連絡"))) +
                                      QStringLiteral("]:to<") + Address("book-to") + QStringLiteral("; cc:") +
                                      Address("book-cc") + u'\t' + Address("book-cc2") + QStringLiteral(";bcc:>")});
    const auto sent = Servers().SinkMessagesTo(Address("book-to"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].rcptTos.size(), 3);
    EXPECT_EQ(Column(QStringLiteral("ご挨拶"), "メール転送"), "0");

    // Per sender: the rule's addresses, an unlisted sender not at all.
    Forwarding("2", Address("fixed"));
    Set("trscc", QString());
    WriteSettings();
    const QString sender = Address("branch");
    AddRule(sender, "000101", Address("Rule-To"), Address("rule-cc"));
    DeliverJp(QStringLiteral("支店"), sender, QStringLiteral("日報1"));
    DeliverJp(QStringLiteral("他人"), Address("other"), QStringLiteral("無関係"));
    PollOk();
    const QString p1 = PathOf(QStringLiteral("日報1"));
    EXPECT_EQ(LogTexts().value(1), QStringLiteral("送信者別転送[") + Base(p1) + QStringLiteral("]:") + Address("rule-to") +
                                       QStringLiteral("\t>#xfr ") + p1 + QStringLiteral("\tcc\t") + Address("rule-cc"));
    EXPECT_EQ(LogTexts().size(), 2);
    EXPECT_EQ(Servers().SinkMessagesTo(Address("rule-to")).size(), 1u);
    EXPECT_TRUE(Servers().SinkMessagesTo(Address("fixed")).empty());
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
    DeliverJp(QStringLiteral("管理者"), admin, QStringLiteral("設定変更"),
              QStringLiteral("設定変更です。\nmpp{acc=remote;pass=s3cret;listflg=%1;false;true;false;true;false;false;}\n以上").arg(target));
    DeliverJp(QStringLiteral("対象"), target, QStringLiteral("変更後の受信"));
    PollOk();

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
    for (int i = 0; i < 25; ++i) DeliverJp(QStringLiteral("一括"), sender, QStringLiteral("連番%1").arg(i, 2, 10, QChar(u'0')));
    for (const char* expected : {"10 messages fetched", "10 messages fetched", "5 messages fetched", "0 messages fetched"}) {
        const Run run = PollOnce();
        EXPECT_EQ(run.status, 0) << run.err.toStdString();
        EXPECT_TRUE(run.out.startsWith(QString::fromLatin1(expected))) << run.out.toStdString();
    }
    QStringList subjects = Subjects();
    subjects.removeDuplicates();
    EXPECT_EQ(subjects.size(), 25);
    EXPECT_EQ(HistoryColumn("COUNT(*)"), QStringList{"25"});
    QStringList log = LogTexts();
    EXPECT_EQ(log.size(), 25);
    log.removeDuplicates();
    EXPECT_EQ(log.size(), 25);
    EXPECT_EQ(QDir(SaveFolder()).entryList(QDir::Files).size(), 25);
    EXPECT_EQ(Servers().MailboxCount(User()), 25);
}

TEST_F(PollOnceTest, ServerDownEndsTheCycleQuietlyAndABrokenMessageDoesNotStopTheOthers)
{
    const SilentPort closed(false);
    Set("portpop", QString::number(closed.Port()));
    WriteSettings();
    const Run down = PollOnce();
    EXPECT_NE(down.status, 0);
    EXPECT_FALSE(down.err.isEmpty());
    EXPECT_TRUE(LogTexts().isEmpty()) << "a failed fetch writes nothing to the log";

    Set("portpop", QString::number(Servers().pop3Port));
    WriteSettings();
    const QString sender = Address("sender");
    AddRule(sender, "011100");
    Deliver(QByteArray());  // no header at all: the part reader gives nothing
    QByteArray broken = JapaneseMessage(QStringLiteral("壊れ"), sender, QStringLiteral("壊れた添付"), QStringLiteral("x"));
    broken.replace("Content-Type: text/plain; charset=ISO-2022-JP", "Content-Type: multipart/mixed; boundary=\"never-closed\"");
    broken += "--never-closed\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n\r\n%%%not base64";
    Deliver(broken);
    DeliverJp(QStringLiteral("正常"), sender, QStringLiteral("正常な後続"));
    PollOk();
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
    const QString oldFile = WriteFile(WorkFolder(), "old-1.eml", "Subject: old\r\n\r\nold\r\n");
    ASSERT_FALSE(oldFile.isEmpty());
    const QString yesterday = QDateTime::currentDateTime().addDays(-1).toString("yyyy-MM-ddTHH:mm:ss");
    const QString insert = QStringLiteral("INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 件名, 受信日, メール保存) VALUES (?, ?, ?, ?, ?)");
    Exec(insert, {"old-1.eml", oldFile, "old unsaved", yesterday, 0});
    Exec(insert, {"old-2.eml", WorkFolder() + Sep() + "old-2.eml", "old saved", yesterday, 1});
    Exec(QStringLiteral("INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名) VALUES (?, ?)"), {"old-1.eml", "a.pdf"});
    const QString sender = Address("today");
    AddRule(sender, "000100");
    DeliverJp(QStringLiteral("本日"), sender, QStringLiteral("本日分"));
    PollOk();

    EXPECT_EQ(Subjects(), (QStringList{"old saved", QStringLiteral("本日分")}));
    EXPECT_FALSE(QFileInfo::exists(oldFile));
    QSqlQuery q(Database());
    ASSERT_TRUE(q.exec("SELECT COUNT(*) FROM tblHistoryFiles WHERE 保存ファイルID = 'old-1.eml'") && q.next());
    EXPECT_EQ(q.value(0).toInt(), 0);
}

// The service's "tick N started|finished" lines: (time, started, N).
std::vector<std::tuple<QDateTime, bool, int>> TickLines(const QString& out)
{
    static const QRegularExpression line(QStringLiteral("^(\\S+ \\S+) tick (\\d+) (started|finished)"),
                                         QRegularExpression::MultilineOption);
    std::vector<std::tuple<QDateTime, bool, int>> ticks;
    for (auto it = line.globalMatch(out); it.hasNext();) {
        const auto m = it.next();
        ticks.emplace_back(QDateTime::fromString(m.captured(1), "yyyy/MM/dd hh:mm:ss.zzz"), m.captured(3) == "started",
                           m.captured(2).toInt());
    }
    return ticks;
}

TEST_F(PollOnceTest, ServiceTicksNeverOverlapStopCleanlyAndKeepTickingWhileTheServerIsDown)
{
    Set("Interval", "300");
    WriteSettings();
    const QString sender = Address("svc");
    AddRule(sender, "011100");
    for (int i = 0; i < 15; ++i) DeliverJp(QStringLiteral("定期"), sender, QStringLiteral("定期%1").arg(i));
    QProcess p;
    StartService(p);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Servers().MailboxCount(User()) == 0; }, 15000));
    QThread::msleep(1000);  // a few idle ticks
    EXPECT_EQ(StopService(p), 0) << p.readAllStandardError().toStdString();
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_TRUE(out.contains("service stopped")) << out.toStdString();
    const auto ticks = TickLines(out);
    ASSERT_GE(ticks.size(), 6u) << out.toStdString();
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        EXPECT_EQ(std::get<1>(ticks[i]), i % 2 == 0) << "tick lines must alternate: " << out.toStdString();
        EXPECT_EQ(std::get<2>(ticks[i]), static_cast<int>(i / 2 + 1));
        if (i >= 2 && std::get<1>(ticks[i])) {
            EXPECT_GE(std::get<0>(ticks[i - 1]).msecsTo(std::get<0>(ticks[i])), 290) << "one interval after the last";
        }
    }
    EXPECT_EQ(HistoryColumn("COUNT(*)"), QStringList{"15"});
    EXPECT_EQ(QDir(SaveFolder()).entryList(QDir::Files).size(), 15);

    // Server down: failed fetches neither end the service nor write to the log.
    const SilentPort closed(false);
    Set("portpop", QString::number(closed.Port()));
    Set("Interval", "100");
    WriteSettings();
    const qsizetype logSize = LogTexts().size();
    QProcess down;
    StartService(down);
    QThread::msleep(1500);
    EXPECT_EQ(StopService(down, SIGINT), 0);
    const QString downOut = QString::fromUtf8(down.readAllStandardOutput());
    EXPECT_GE(TickLines(downOut).size(), 6u) << downOut.toStdString();
    EXPECT_EQ(LogTexts().size(), logSize);
}

} // namespace
} // namespace lw::test
