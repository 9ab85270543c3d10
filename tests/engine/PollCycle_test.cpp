// The poll cycle in-process against the loopback servers: the shared print object and the
// failures (printer, save, database) that must not stop the cycle or lose mail.
#include "engine/PollCycle.h"

#include "config/InMemoryWorkingCopy.h"
#include "engine/EngineTestUtil.h"
#include "mail/Pop3Session.h"
#include "mail/UidlState.h"
#include "store/ListDatabase.h"
#include "store/StoreFixture.h"
#include "support/TempHome.h"
#include "support/TestServers.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlRecord>
#include <QThread>

#include <gtest/gtest.h>

#include <optional>

namespace lw::engine {
namespace {

using test::LogEntries;

// Records what the cycle printed; one factory per test. With fail, every print is refused; with
// pdfFolder, notices become PDF files there for want of a printer.
struct PrintRecord final : NoticePrinterFactory {
    int created = 0;
    QStringList texts;
    QStringList names;
    bool fail = false;
    QString pdfFolder;

    struct Printer final : NoticePrinter {
        PrintRecord& r;
        QString pdf;
        explicit Printer(PrintRecord& record) : r(record) {}
        base::Status Print(const QString& mailText, const QString& baseName) override
        {
            if (r.fail) return base::Fail(QStringLiteral("用紙がありません"));
            r.texts << mailText;
            r.names << baseName;
            pdf = r.pdfFolder.isEmpty() ? QString() : r.pdfFolder + baseName + QStringLiteral(".pdf");
            return {};
        }
        QString FallbackFile() const override { return pdf; }
    };
    std::unique_ptr<NoticePrinter> Create() override { return ++created, std::make_unique<Printer>(*this); }
};

class PollCycleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QString reason;
        m_servers = test::TestServers::Load(&reason);
        if (!m_servers) GTEST_SKIP() << reason.toStdString();
        auto lease = m_servers->LeaseMailbox();
        ASSERT_TRUE(lease.has_value());
        m_lease.emplace(std::move(*lease));
        qputenv("LARCHWATCHER_CA_FILE", m_servers->caFile.toUtf8());
        ASSERT_TRUE(QFile::copy(test::TemplateDatabase(), m_home.File(QStringLiteral("list.db"))));
        m_settings.programFolder = m_home.Folder();
        m_settings.popServer = m_servers->host;
        m_settings.popPort = static_cast<std::uint16_t>(m_servers->pop3Port);
        m_settings.popAccount = m_lease->User();
        m_settings.popPassword = m_lease->Password();
        m_settings.keepDays = 30000;
    }

    QString Address(const QString& local) const { return local + u'-' + m_token + QStringLiteral("@example.jp"); }

    void AddRule(const QString& address, const char* flags)
    {
        QVariantList values{address};
        for (int i = 0; i < 6; ++i) values << (flags[i] == '1' ? 1 : 0);
        test::Peek(m_home.File(QStringLiteral("list.db")))
            .Exec(QStringLiteral("INSERT INTO tblList (アドレス, 印刷, メール保存, ボックスクリア, ログ出力, 受信拒否, メール転送) "
                                 "VALUES (?, ?, ?, ?, ?, ?, ?)"), values);
    }

    void Deliver(const QString& from, const QString& subject, const QString& body = {})
    {
        QString error;
        const QByteArray message =
            test::JapaneseMessage(QString(), from, subject, body.isEmpty() ? subject + "の本文" : body);
        ASSERT_TRUE(m_servers->Deliver(m_lease->User(), message, &error)) << error.toStdString();
        QThread::msleep(2);
    }

    // The base names the transport will give the waiting messages, in server order.
    std::vector<QString> WaitingBaseNames() const
    {
        auto endpoint = mail::MakePop3Endpoint(m_servers->host.toStdString(), m_servers->pop3Port);
        EXPECT_TRUE(endpoint.has_value());
        endpoint->account = m_lease->User().toStdString();
        endpoint->password = m_lease->Password().toStdString();
        mail::Pop3Session session(*endpoint);
        std::vector<mail::Pop3Message> listing;
        std::string error;
        EXPECT_TRUE(session.List(listing, error)) << error;
        session.Quit();
        std::vector<QString> names;
        for (const auto& m : listing) names.push_back(QString::fromStdString(mail::UidlState::SafeName(m.uid)) + ".eml");
        return names;
    }

    CycleSummary Run(NoticePrinterFactory* printers, const std::atomic<bool>* endRequested = nullptr)
    {
        config::InMemoryWorkingCopy copy(m_home.Folder());
        return RunPollCycle(m_settings, copy, printers, endRequested);
    }

    QString Work() const { return m_home.Path() + QStringLiteral("/mail/work/"); }
    QString Saved() const { return m_home.Path() + QStringLiteral("/mail/"); }
    QString ErrorHead(const QString& name) const { return QStringLiteral("処理エラー[") + Work() + name + QStringLiteral("]:"); }

    test::TempHome m_home;
    std::optional<test::TestServers> m_servers;
    std::optional<test::MailboxLease> m_lease;
    config::SettingsRecord m_settings;
    QString m_token = QString::number(QRandomGenerator::global()->generate() % 1000000);
};

TEST_F(PollCycleTest, OnePrinterServesTheCycleAndPrintFailuresAreLoggedWhileTheOtherActionsGoOn)
{
    const QString sender = Address("print");
    AddRule(sender, "110100");
    Deliver(sender, QStringLiteral("一通目"));
    Deliver(sender, QStringLiteral("二通目"));
    PrintRecord record;
    const CycleSummary summary = Run(&record);
    EXPECT_EQ((std::vector{summary.fetched, summary.handled, summary.errors}), (std::vector{2, 2, 0}));
    EXPECT_EQ(record.created, 1) << "one printer for the whole cycle";
    ASSERT_EQ(record.texts.size(), 2);
    EXPECT_TRUE(record.texts[0].contains(sender) && record.texts[0].endsWith(QStringLiteral("\r\n")))
        << record.texts[0].toStdString();
    EXPECT_TRUE(record.texts[1].contains(QStringLiteral("二通目")) && !record.texts[1].contains(QStringLiteral("一通目")));

    // No printer at all (headless without a print interface), then a printer that refuses the job.
    Deliver(sender, QStringLiteral("印刷不可1"));
    const CycleSummary headless = Run(nullptr);
    Deliver(sender, QStringLiteral("印刷不可2"));
    PrintRecord failing;
    failing.fail = true;
    EXPECT_EQ(Run(&failing).errors, 1);
    const std::vector<QString> names = WaitingBaseNames();
    ASSERT_EQ(names.size(), 4u);
    EXPECT_EQ(headless.errors, 1);
    EXPECT_TRUE(headless.firstError.startsWith(ErrorHead(names[2])));

    const QStringList log = LogEntries(m_settings.programFolder);
    ASSERT_EQ(log.size(), 8) << log.join(u'\n').toStdString();
    for (int i = 0; i < 4; ++i) {
        const QString printed = "メール印刷[" + Work() + names[i] + "]:from<" + sender + u'>';
        EXPECT_TRUE(i < 2 ? log[2 * i] == printed : log[2 * i].startsWith(ErrorHead(names[i])))
            << log[2 * i].toStdString();
        EXPECT_EQ(log[2 * i + 1], QStringLiteral("メール保存[") + Saved() + names[i] + QStringLiteral("]:from<") + sender + u'>');
    }
    EXPECT_TRUE(log[6].endsWith(QStringLiteral("用紙がありません")));

    // No printer installed: the notice became a PDF, and the log says where, after the print line.
    Deliver(sender, QStringLiteral("PDFへ"));
    PrintRecord noPrinter;
    noPrinter.pdfFolder = Saved() + QStringLiteral("print/");
    EXPECT_EQ(Run(&noPrinter).errors, 0);
    const QString name = WaitingBaseNames().at(4);
    const QStringList after = LogEntries(m_settings.programFolder).mid(8);
    ASSERT_EQ(after.size(), 3) << after.join(u'\n').toStdString();
    EXPECT_EQ(after[0], "メール印刷[" + Work() + name + "]:from<" + sender + u'>');
    EXPECT_EQ(after[1], "メール印刷PDF出力[" + Work() + name + "]:" + noPrinter.pdfFolder + name + ".pdf");
}

TEST_F(PollCycleTest, AFailedSaveKeepsTheMessageOnTheServerAndTheCycleGoesOn)
{
    const QString sender = Address("save");
    AddRule(sender, "011100");
    Deliver(sender, QStringLiteral("保存失敗"));
    Deliver(sender, QStringLiteral("保存成功"));
    const std::vector<QString> names = WaitingBaseNames();
    ASSERT_EQ(names.size(), 2u);
    // A folder where the first saved copy should go: the copy cannot be put there.
    ASSERT_TRUE(QDir().mkpath(Saved() + names[0]));

    const CycleSummary summary = Run(nullptr);
    EXPECT_EQ((std::vector{summary.handled, summary.errors}), (std::vector{2, 2}));  // the save, then the clear held back
    const QStringList log = LogEntries(m_settings.programFolder);
    ASSERT_EQ(log.size(), 4) << log.join(u'\n').toStdString();
    EXPECT_TRUE(log[0].startsWith(ErrorHead(names[0])) && log[1].startsWith(ErrorHead(names[0])));
    EXPECT_EQ(log[2], QStringLiteral("メール保存[") + Saved() + names[1] + QStringLiteral("]:from<") + sender + u'>');
    EXPECT_EQ(log[3], QStringLiteral("メールボックスクリア[") + names[1] + QStringLiteral("]:from<") + sender + u'>');
    EXPECT_EQ(m_servers->MailboxCount(m_lease->User()), 1) << "only the safely saved message is deleted";
    EXPECT_TRUE(QFileInfo(Saved() + names[0]).isDir()) << "nothing written over the obstacle";
    EXPECT_EQ(QDir(Saved()).entryList(QDir::Files | QDir::Hidden), QStringList{names[1]});
}

// What a body says is only body: it sets no subject and names no attachment, so a saving rule
// never puts a file of the program folder beside the saved copies.
TEST_F(PollCycleTest, ABodyReadingLikeASubjectOrAFilePathStaysBodyAndNoOutsideFileIsSaved)
{
    const QString sender = Address("hostile");
    AddRule(sender, "110100");
    const QString secret = m_home.File(QStringLiteral("larchwatcher.ini"));
    {
        QFile file(secret);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("poppassword=secret\n") > 0);
    }
    Deliver(sender, QStringLiteral("本当の件名"), QStringLiteral("Subject: 偽の件名\n本文"));
    Deliver(sender, QStringLiteral("添付なし"), QStringLiteral("file:") + secret);
    const std::vector<QString> names = WaitingBaseNames();
    ASSERT_EQ(names.size(), 2u);
    PrintRecord printed;

    const CycleSummary summary = Run(&printed);
    EXPECT_EQ((std::vector{summary.handled, summary.errors}), (std::vector{2, 0}));
    const auto rows =
        test::Peek(m_home.File(QStringLiteral("list.db")))
            .Rows(QStringLiteral("SELECT 件名, ファイル数 FROM tblHistory ORDER BY 保存ファイルID"));
    QStringList history;
    for (const QSqlRecord& row : rows)
        history << row.value(0).toString() + u'|' + row.value(1).toString();
    QStringList expected{QStringLiteral("本当の件名|0"), QStringLiteral("添付なし|0")};
    if (names[0] > names[1]) std::swap(expected[0], expected[1]);
    EXPECT_EQ(history, expected);
    EXPECT_EQ(test::Peek(m_home.File(QStringLiteral("list.db")))
                  .Count(QStringLiteral("SELECT count(*) FROM tblHistoryFiles")),
              0);
    QStringList saved{names[0], names[1]};
    saved.sort();
    EXPECT_EQ(QDir(Saved()).entryList(QDir::Files | QDir::Hidden, QDir::Name), saved)
        << "the saved copies only";
    // The notice shows the body as it was written, under the part's own keyword.
    ASSERT_EQ(printed.texts.size(), 2);
    EXPECT_TRUE(printed.texts[0].contains(QStringLiteral("\r\nbody:Subject: 偽の件名\n本文\n\r\n")))
        << printed.texts[0].toStdString();
    EXPECT_TRUE(printed.texts[1].contains(QStringLiteral("\r\nbody:file:") + secret +
                                          QStringLiteral("\n\r\nnofile:\r\n")))
        << printed.texts[1].toStdString();
}

TEST_F(PollCycleTest, AMissingListDatabaseIsAnErrorPerMessageNotTheEndOfTheCycle)
{
    m_settings.listDatabaseName = QStringLiteral("missing");
    Deliver(Address("x"), QStringLiteral("DBなし1"));
    Deliver(Address("y"), QStringLiteral("DBなし2"));
    const CycleSummary summary = Run(nullptr);
    EXPECT_EQ((std::vector{summary.fetched, summary.handled, summary.errors}), (std::vector{2, 2, 2}));
    const std::vector<QString> names = WaitingBaseNames();  // nothing was deleted
    ASSERT_EQ(names.size(), 2u);
    QStringList expected;
    for (int i = 0; i < 2; ++i)
        expected << QStringLiteral("受信履歴登録エラー[") + names[i] + QStringLiteral("]:from<") + Address(i ? "y" : "x") + u'>'
                 << ErrorHead(names[i]) + u'[' + m_home.Path() + QStringLiteral("/missing.db]が存在しません。");
    EXPECT_EQ(LogEntries(m_settings.programFolder), expected);
}

TEST_F(PollCycleTest, AListDatabaseLockedMidTickLeavesTheMessagesOnTheServerForTheNextTick)
{
    store::SetBusyTimeout(300);
    const QString sender = Address("locked");
    AddRule(sender, "111100"); // print, save, clear, log
    for (const char* subject : {"施錠中1", "施錠中2", "施錠中3"}) Deliver(sender, QString::fromUtf8(subject));
    const std::vector<QString> names = WaitingBaseNames();
    ASSERT_EQ(names.size(), 3u);
    // Another connection takes the write lock while the first message is being printed.
    struct LockingPrinter final : NoticePrinterFactory, NoticePrinter {
        QString database;
        int prints = 0;
        std::optional<test::Peek> holder;
        std::unique_ptr<NoticePrinter> Create() override { return std::make_unique<Forwarder>(*this); }
        base::Status Print(const QString&, const QString&) override
        {
            if (++prints == 1) holder.emplace(database).Exec(QStringLiteral("BEGIN IMMEDIATE"));
            return {};
        }
        struct Forwarder final : NoticePrinter {
            LockingPrinter& p;
            explicit Forwarder(LockingPrinter& printer) : p(printer) {}
            base::Status Print(const QString& t, const QString& b) override { return p.Print(t, b); }
        };
    } printer;
    printer.database = m_home.File(QStringLiteral("list.db"));
    const CycleSummary locked = Run(&printer);
    EXPECT_EQ(locked.handled, 1);
    EXPECT_EQ(m_servers->MailboxCount(m_lease->User()), 3) << "nothing may leave the server unrecorded";
    const QStringList log = LogEntries(m_settings.programFolder);
    for (const QString& name : names)
        EXPECT_EQ(log.filter(ErrorHead(name) + QStringLiteral("リストデータベースがロックされているため")).size(), 1)
            << log.join(u'\n').toStdString();
    printer.holder->Exec(QStringLiteral("ROLLBACK"));
    printer.holder.reset();

    // The next tick handles all three from the work folder; the first one's print repeats.
    const CycleSummary next = Run(&printer);
    store::SetBusyTimeout(5000);
    EXPECT_EQ((std::vector{next.fetched, next.handled, printer.prints}), (std::vector{3, 3, 4}));
    QStringList rows;
    for (const QSqlRecord& row : test::Peek(m_home.File(QStringLiteral("list.db")))
                                     .Rows(QStringLiteral("SELECT 印刷 || メール保存 || ボックスクリア FROM tblHistory")))
        rows << row.value(0).toString();
    EXPECT_EQ(rows, QStringList(3, QStringLiteral("111")));
    EXPECT_EQ(m_servers->MailboxCount(m_lease->User()), 0);
    EXPECT_EQ(QDir(Saved()).entryList(QDir::Files | QDir::Hidden).size(), 3);
}

// An end asked for (SIGTERM in the service) while a message is being handled lets that message
// finish all its actions; the rest of the tick stays on the server and comes back next tick.
// The summary counts the messages acted on, by listed and by any sender, for the notices.
TEST_F(PollCycleTest, AnEndAskedForMidMessageFinishesItAndLeavesTheRestForTheNextRun)
{
    const QString sender = Address("ending");
    AddRule(sender, "111100"); // print, save, clear, log
    for (const char* subject : {"終了1", "終了2"}) Deliver(sender, QString::fromUtf8(subject));
    Deliver(Address("unlisted"), QStringLiteral("未登録"));
    const std::vector<QString> names = WaitingBaseNames();
    ASSERT_EQ(names.size(), 3u);
    std::atomic<bool> end{false};
    struct EndingPrinter final : NoticePrinterFactory, NoticePrinter {
        std::atomic<bool>* end = nullptr;
        int prints = 0;
        std::unique_ptr<NoticePrinter> Create() override { return std::make_unique<Forwarder>(*this); }
        base::Status Print(const QString&, const QString&) override { return ++prints, end->store(true), base::Status(); }
        struct Forwarder final : NoticePrinter {
            EndingPrinter& p;
            explicit Forwarder(EndingPrinter& printer) : p(printer) {}
            base::Status Print(const QString& t, const QString& b) override { return p.Print(t, b); }
        };
    } printer;
    printer.end = &end;

    const CycleSummary ended = Run(&printer, &end);
    EXPECT_EQ((std::vector{ended.fetched, ended.handled, ended.leftForNextTick, ended.errors}),
              (std::vector{3, 1, 2, 0}));
    EXPECT_EQ((std::vector{ended.actedOnListed, ended.actedOnAny}), (std::vector{1, 1}));
    EXPECT_EQ(m_servers->MailboxCount(m_lease->User()), 2) << "the finished message is cleared, the rest stay";
    const QStringList log = LogEntries(m_settings.programFolder);
    ASSERT_EQ(log.size(), 3) << log.join(u'\n').toStdString();
    EXPECT_TRUE(log[2].startsWith(QStringLiteral("メールボックスクリア[") + names[0]));
    EXPECT_EQ(QDir(Saved()).entryList(QDir::Files | QDir::Hidden), QStringList{names[0]});

    std::atomic<bool> goOn{false}, unread{false};
    printer.end = &unread;
    const CycleSummary next = Run(&printer, &goOn);
    EXPECT_EQ((std::vector{next.fetched, next.handled, next.leftForNextTick, printer.prints}),
              (std::vector{2, 2, 0, 2}));
    EXPECT_EQ((std::vector{next.actedOnListed, next.actedOnAny}), (std::vector{1, 1})) << "the unlisted one is only read";
    EXPECT_EQ(m_servers->MailboxCount(m_lease->User()), 1);
}

} // namespace
} // namespace lw::engine
