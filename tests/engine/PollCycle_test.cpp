// The poll cycle in-process against the loopback servers: the shared print object and the
// failures (printer, save, database, an end asked for) that must not stop the cycle or lose mail.
#include "engine/PollCycle.h"

#include "config/InMemoryWorkingCopy.h"
#include "mail/Pop3Session.h"
#include "mail/UidlState.h"
#include "store/ListDatabase.h"
#include "store/StoreFixture.h"
#include "support/TestServers.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QThread>

#include <functional>
#include <optional>

namespace lw::engine {
namespace {

// Records what the cycle printed. With fail, every print is refused; with pdfFolder, notices
// become PDF files there for want of a printer; onPrint runs first on each print.
struct PrintRecord final : NoticePrinterFactory {
    int created = 0;
    QStringList texts;
    bool fail = false;
    QString pdfFolder;
    std::function<void()> onPrint;

    struct Printer final : NoticePrinter {
        PrintRecord& r;
        QString pdf;
        explicit Printer(PrintRecord& record) : r(record) {}
        base::Status Print(const QString& mailText, const QString& baseName) override
        {
            if (r.onPrint) r.onPrint();
            if (r.fail) return base::Fail(QStringLiteral("用紙がありません"));
            r.texts << mailText;
            pdf = r.pdfFolder.isEmpty() ? QString() : r.pdfFolder + baseName + ".pdf";
            return {};
        }
        QString FallbackFile() const override { return pdf; }
    };
    std::unique_ptr<NoticePrinter> Create() override { return ++created, std::make_unique<Printer>(*this); }
};

class PollCycleTest : public test::StoreFixture {
  protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        QString reason;
        m_servers = test::TestServers::Load(&reason);
        if (!m_servers) GTEST_SKIP() << reason.toStdString();
        m_lease = m_servers->LeaseMailbox();
        ASSERT_TRUE(m_lease.has_value());
        qputenv("LARCHWATCHER_CA_FILE", m_servers->caFile.toUtf8());
        settings.popServer = m_servers->host;
        settings.popPort = static_cast<std::uint16_t>(m_servers->pop3Port);
        settings.popAccount = m_lease->User();
        settings.popPassword = m_lease->Password();
        settings.keepDays = 30000;
    }

    QString Address(const QString& local) const { return local + u'-' + m_token + "@example.jp"; }
    void Deliver(const QByteArray& message)
    {
        QString error;
        ASSERT_TRUE(m_servers->Deliver(m_lease->User(), message, &error)) << error.toStdString();
        QThread::msleep(2);
    }
    void Deliver(const QString& from, const QString& subject)
    {
        Deliver(test::JapaneseMessage({}, from, subject, subject + "の本文"));
    }
    // A rule for a new sender, and mail from it with these subjects; its address.
    QString Listed(const QString& local, const char* flags, std::initializer_list<const char*> subjects)
    {
        const QString sender = Address(local);
        AddRule(sender, flags);
        for (const char* subject : subjects)
            Deliver(sender, QString::fromUtf8(subject));
        return sender;
    }
    // Forwarding on, to the fixed addresses, through the loopback SMTP server.
    void ForwardTo(const QString& to)
    {
        settings.forwardEnabled = true;
        settings.useFixedForwardAddresses = true;
        settings.smtpServer = m_servers->host;
        settings.smtpPort = static_cast<std::uint16_t>(m_servers->smtpPort);
        settings.forwardTo = to;
    }
    // The base names the transport gives the count messages still on the server, in server order.
    std::vector<QString> WaitingBaseNames(std::size_t count) const
    {
        mail::Pop3Session session(*FetchEndpoint(settings));
        std::vector<mail::Pop3Message> listing;
        std::string error;
        EXPECT_TRUE(session.List(listing, error)) << error;
        session.Quit();
        std::vector<QString> names;
        for (const auto& m : listing) names.push_back(QString::fromStdString(mail::UidlState::SafeName(m.uid)) + ".eml");
        EXPECT_EQ(names.size(), count);
        names.resize(count);
        return names;
    }
    int OnServer() const { return m_servers->MailboxCount(m_lease->User()); }
    CycleSummary Run(NoticePrinterFactory* printers, const std::atomic<bool>* endRequested = nullptr)
    {
        config::InMemoryWorkingCopy copy(home.Folder());
        return RunPollCycle(settings, copy, printers, endRequested);
    }

    QString Work() const { return home.Path() + "/mail/work/"; }
    QString Saved() const { return home.Path() + "/mail/"; }
    QString ErrorHead(const QString& name) const { return "処理エラー[" + Work() + name + "]:"; }
    QString SaveLine(const QString& name, const QString& sender) const
    {
        return "メール保存[" + Saved() + name + "]:from<" + sender + u'>';
    }

    std::optional<test::TestServers> m_servers;
    std::optional<test::MailboxLease> m_lease;
    QString m_token = QString::number(QRandomGenerator::global()->generate() % 1000000);
};

TEST_F(PollCycleTest, OnePrinterServesTheCycleAndAPrintThatFailsOrHasNoPrinterIsLoggedWhileTheSaveGoesOn)
{
    const QString sender = Listed("print", "110100", {"一通目", "二通目"});
    PrintRecord record;
    record.pdfFolder = Saved() + "print/";
    const CycleSummary summary = Run(&record);
    EXPECT_EQ((std::vector{summary.fetched, summary.handled, summary.errors}), (std::vector{2, 2, 0}));
    EXPECT_EQ(record.created, 1) << "one printer for the whole cycle";
    ASSERT_EQ(record.texts.size(), 2);
    EXPECT_TRUE(record.texts[0].contains(sender) && record.texts[0].endsWith("\r\n")) << record.texts[0];
    EXPECT_TRUE(record.texts[1].contains("二通目") && !record.texts[1].contains("一通目"));

    Deliver(sender, "印刷不可1");
    const CycleSummary headless = Run(nullptr); // headless without a print interface
    Deliver(sender, "印刷不可2");
    PrintRecord failing;
    failing.fail = true;
    EXPECT_EQ(Run(&failing).errors, 1);
    const std::vector<QString> names = WaitingBaseNames(4);
    EXPECT_EQ(headless.errors, 1);
    EXPECT_TRUE(headless.firstError.startsWith(ErrorHead(names[2]))) << headless.firstError.toStdString();
    // No printer installed: the notice became a PDF, and the log says where, after the print line.
    const QStringList log = LogEntries();
    ASSERT_EQ(log.size(), 10) << log.join(u'\n').toStdString();
    EXPECT_EQ(log[0], "メール印刷[" + Work() + names[0] + "]:from<" + sender + u'>');
    EXPECT_EQ(log[1], "メール印刷PDF出力[" + Work() + names[0] + "]:" + record.pdfFolder + names[0] + ".pdf");
    EXPECT_EQ(log[2], SaveLine(names[0], sender));
    for (int i = 2; i < 4; ++i) {
        EXPECT_TRUE(log[2 * i + 2].startsWith(ErrorHead(names[i]))) << log[2 * i + 2].toStdString();
        EXPECT_EQ(log[2 * i + 3], SaveLine(names[i], sender));
    }
    EXPECT_TRUE(log[8].endsWith("用紙がありません"));
    EXPECT_EQ(test::ReadFile(Saved() + names[0]), test::ReadFile(Work() + names[0])) << "the whole message";
}

TEST_F(PollCycleTest, AFailedSaveKeepsTheMessageOnTheServerAndTheCycleGoesOn)
{
    const QString sender = Listed("save", "011100", {"保存失敗", "保存成功"});
    const std::vector<QString> names = WaitingBaseNames(2);
    // A folder where the first saved copy should go: the copy cannot be put there.
    ASSERT_TRUE(QDir().mkpath(Saved() + names[0]));

    const CycleSummary summary = Run(nullptr);
    EXPECT_EQ((std::vector{summary.handled, summary.errors}), (std::vector{2, 2})) << "save, then no clear";
    const QStringList log = LogEntries();
    ASSERT_EQ(log.size(), 4) << log.join(u'\n').toStdString();
    EXPECT_TRUE(log[0].startsWith(ErrorHead(names[0])) && log[1].startsWith(ErrorHead(names[0])));
    EXPECT_EQ(log[2], SaveLine(names[1], sender));
    EXPECT_EQ(log[3], "メールボックスクリア[" + names[1] + "]:from<" + sender + u'>');
    EXPECT_EQ(OnServer(), 1) << "only the safely saved message is deleted";
    EXPECT_TRUE(QFileInfo(Saved() + names[0]).isDir()) << "nothing written over the obstacle";
    EXPECT_EQ(QDir(Saved()).entryList(QDir::Files | QDir::Hidden), QStringList{names[1]});
}

TEST_F(PollCycleTest, AMissingListDatabaseIsAnErrorPerMessageNotTheEndOfTheCycle)
{
    settings.listDatabaseName = "missing";
    for (int i = 0; i < 11; ++i) Deliver(Address("x"), QStringLiteral("DBなし"));
    const CycleSummary summary = Run(nullptr);
    EXPECT_EQ((std::vector{summary.fetched, summary.handled, summary.errors}), (std::vector{10, 10, 10}))
        << "ten messages a tick";
    const std::vector<QString> names = WaitingBaseNames(11); // nothing was deleted
    QStringList expected;
    for (int i = 0; i < 10; ++i)
        expected << "受信履歴登録エラー[" + names[i] + "]:from<" + Address("x") + u'>'
                 << ErrorHead(names[i]) + u'[' + home.Path() + "/missing.db]が存在しません。";
    EXPECT_EQ(LogEntries(), expected);
}

TEST_F(PollCycleTest, AListDatabaseLockedMidTickLeavesTheMessagesOnTheServerForTheNextTick)
{
    store::SetBusyTimeout(300);
    Listed("locked", "111100", {"施錠中1", "施錠中2", "施錠中3"}); // print, save, clear, log
    const std::vector<QString> names = WaitingBaseNames(3);
    // Another connection takes the write lock while the first message is being printed.
    std::optional<test::Peek> holder;
    PrintRecord printer;
    printer.onPrint = [&] {
        if (printer.texts.isEmpty()) holder.emplace(DatabasePath()).Exec("BEGIN IMMEDIATE");
    };
    EXPECT_EQ(Run(&printer).handled, 1);
    EXPECT_EQ(OnServer(), 3) << "nothing may leave the server unrecorded";
    const QStringList log = LogEntries();
    for (const QString& name : names)
        EXPECT_EQ(log.filter(ErrorHead(name) + "リストデータベースがロックされているため").size(), 1)
            << log.join(u'\n');
    holder.reset(); // its connection closes: the transaction is rolled back

    // The next tick handles all three from the work folder; the first one's print repeats.
    const CycleSummary next = Run(&printer);
    store::SetBusyTimeout(5000);
    EXPECT_EQ((std::vector{next.fetched, next.handled, int(printer.texts.size())}), (std::vector{3, 3, 4}));
    EXPECT_EQ(Db().Column("SELECT 印刷||メール保存||ボックスクリア FROM tblHistory"), QStringList(3, "111"));
    EXPECT_EQ(OnServer(), 0);
    EXPECT_EQ(QDir(Saved()).entryList(QDir::Files | QDir::Hidden).size(), 3);
}

// Which mail the address book and the rule list forward (every message: the macro case below),
// each forward with its line.
TEST_F(PollCycleTest, EachForwardTargetTakesOnlyItsSendersMail)
{
    using config::ForwardTarget;
    std::size_t waiting = 0;
    for (const ForwardTarget target : {ForwardTarget::AddressBookSenders, ForwardTarget::RuleListSenders}) {
        const QString tag = QString::number(static_cast<int>(target));
        SCOPED_TRACE(tag.toStdString());
        const QString known = Address("known" + tag), to = Address("to" + tag);
        settings.forwardTarget = target;
        ForwardTo(to);
        if (target == ForwardTarget::RuleListSenders) AddRule(known, "000101"); // log and forward
        if (target == ForwardTarget::AddressBookSenders)                        // letter case does not matter
            Db().Exec("INSERT INTO tblAdrbook (電子メールアドレス) VALUES (?)", {known.toUpper()});
        Deliver(known, "既知");
        Deliver(Address("stranger" + tag), "未知");
        const qsizetype before = LogEntries().size();
        Run(nullptr);
        const std::vector<QString> names = WaitingBaseNames(waiting += 2);
        const QString& first = names[waiting - 2];
        const QString line = target == ForwardTarget::AddressBookSenders
                                 ? "アドレス帳転送[" + first + "]:to<" + to + "; cc:;bcc:>"
                                 : "送信者別転送[" + first + "]:" + to + "\t>#xfr " + Work() + first;
        EXPECT_EQ(LogEntries().mid(before), QStringList{line});
        EXPECT_EQ(m_servers->SinkMessagesTo(to).size(), 1u);
    }
}

// Forwarding every message: a rejected sender's mail is only rejected, returned mail and mail
// without a sender address go nowhere, and a forward coming back to this mailbox is not sent again.
TEST_F(PollCycleTest, MacroForwardSkipsRejectedAndReturnedMailAndItsOwnForwards)
{
    const QString macro = Address("macro"), rejected = Address("spam1"), rejectedClear = Address("spam2");
    ForwardTo(macro.toUpper());
    AddRule(rejected, "111111");      // everything asked, reject wins
    AddRule(rejectedClear, "001110"); // reject and clear: one deletion, one line
    AddRule("postmaster@biglobe.ne.jp", "111100");
    Deliver(rejected, "拒否1");
    Deliver(rejectedClear, "拒否2");
    Deliver(Address("stranger"), "問い合わせ");
    Deliver(test::ReadFile(TEST_DATA_DIR "/mime/returned-mail-mailbox-full.eml"));
    Deliver(test::JapaneseMessage({}, "x@y", "差出人なし", "本文").replace("From: <x@y>", "From: MAILER-DAEMON"));
    std::vector<QString> names = WaitingBaseNames(5);
    Run(nullptr); // a print or save tried would show as its line
    const auto forwardLine = [&](const QString& name) { return "マクロ転送[" + name + "]:to<" + macro.toUpper() + "; cc:;bcc:>"; };
    EXPECT_EQ(LogEntries(), (QStringList{"受信拒否[" + names[0] + "]:from<" + rejected + u'>',
                                         "受信拒否[" + names[1] + "]:from<" + rejectedClear + u'>', forwardLine(names[2]),
                                         "フィルタリング実行[" + Work() + names[3] + "]:from<postmaster@biglobe.ne.jp>"}));
    EXPECT_EQ(OnServer(), 3) << "both rejected messages, and no other, left the server";
    const auto forwarded = m_servers->SinkMessagesTo(macro);
    ASSERT_EQ(forwarded.size(), 1u);
    const QByteArray& sent = forwarded[0].data;
    // The forward mark does not name the mailbox: a keyed hash under an owner-only secret.
    const QString keyFile = home.File("forward-mark.key");
    EXPECT_EQ(QFileInfo(keyFile).permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray identity = (m_lease->User() + u'@' + m_servers->host).toLower().toUtf8();
    const QByteArray mark =
        QMessageAuthenticationCode::hash(identity, test::ReadFile(keyFile).trimmed(), QCryptographicHash::Sha256).toHex();
    EXPECT_TRUE(sent.contains("\r\nX-LarchWatcher-Forwarded: " + mark + "\r\n")) << sent.data();
    EXPECT_FALSE(sent.contains(identity));

    // The forward coming back is not forwarded again; another mailbox's mark is no bar; what an older
    // version forwarded carries the identity in clear, and is ours.
    Deliver(sent);
    const QByteArray header = "X-LarchWatcher-Forwarded: ";
    Deliver(test::JapaneseMessage({}, Address("other"), "他所", "本文").replace("X-Mailer", header + "a@other.jp\r\nX-Mailer"));
    Deliver(test::JapaneseMessage({}, Address("old"), "旧版", "本文").replace("X-Mailer", header + identity.toUpper() + "\r\nX-Mailer"));
    Run(nullptr);
    names = WaitingBaseNames(6);
    const QString notAgain = "]:このメールボックスから転送されたメールのため転送しません";
    EXPECT_EQ(LogEntries().mid(4), (QStringList{"転送抑止[" + names[3] + notAgain, forwardLine(names[4]),
                                                "転送抑止[" + names[5] + notAgain}));
    EXPECT_EQ(m_servers->SinkMessagesTo(macro).size(), 2u);
}

// A command mail acts before its sender's own rule, and its rule change is in force for the later
// messages of the same tick.
TEST_F(PollCycleTest, ACommandMailsRuleChangeActsOnTheLaterMessagesOfItsTick)
{
    settings.commandMailEnabled = true;
    settings.commandAccount = "remote";
    settings.commandPassword = "s3cret";
    const QString admin = Address("admin"), target = Address("target");
    AddRule(admin, "010100"); // save, log
    Deliver(admin, "mpp{acc=remote;pass=s3cret;listflg=" + target + ";false;true;false;true;false;false;}");
    Deliver(target, "変更後");
    Run(nullptr);
    const std::vector<QString> names = WaitingBaseNames(2);
    EXPECT_EQ(LogEntries(), (QStringList{"コマンド実行[" + Work() + names[0] + "]:remote:s3cret",
                                  SaveLine(names[0], admin), SaveLine(names[1], target)}));
    EXPECT_EQ(Db().Column("SELECT コマンド FROM tblHistory ORDER BY rowid"), (QStringList{"1", "0"}));
}

// An end asked for (SIGTERM in the service) while a message is being handled lets that message
// finish all its actions; the rest of the tick stays on the server and comes back next tick.
// The summary counts the messages acted on, by listed and by any sender, for the notices.
TEST_F(PollCycleTest, AnEndAskedForMidMessageFinishesItAndLeavesTheRestForTheNextRun)
{
    Listed("ending", "111100", {"終了1", "終了2"}); // print, save, clear, log
    Deliver(Address("unlisted"), "未登録");
    const std::vector<QString> names = WaitingBaseNames(3);
    std::atomic<bool> end{false};
    PrintRecord printer;
    printer.onPrint = [&] { end = true; };

    const CycleSummary ended = Run(&printer, &end);
    EXPECT_EQ((std::vector{ended.fetched, ended.handled, ended.leftForNextTick, ended.errors}), (std::vector{3, 1, 2, 0}));
    EXPECT_EQ((std::vector{ended.actedOnListed, ended.actedOnAny}), (std::vector{1, 1}));
    EXPECT_EQ(OnServer(), 2) << "the finished message is cleared, the rest stay";
    const QStringList log = LogEntries();
    ASSERT_EQ(log.size(), 3) << log.join(u'\n').toStdString();
    EXPECT_TRUE(log[2].startsWith("メールボックスクリア[" + names[0]));
    EXPECT_EQ(QDir(Saved()).entryList(QDir::Files | QDir::Hidden), QStringList{names[0]});

    printer.onPrint = nullptr;
    const std::atomic<bool> goOn{false};
    const CycleSummary next = Run(&printer, &goOn);
    EXPECT_EQ((std::vector{next.fetched, next.handled, next.leftForNextTick, int(printer.texts.size()),
                           next.actedOnListed, next.actedOnAny}), (std::vector{2, 2, 0, 2, 1, 1}))
        << "the unlisted one is only read";
    EXPECT_EQ(OnServer(), 1);
}

} // namespace
} // namespace lw::engine
