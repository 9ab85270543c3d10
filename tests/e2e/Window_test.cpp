// The real program with its window (offscreen): start-up time, polling, the single-instance
// guard and the seeding of the lock passwords across restarts.
#include "e2e/HomeFixture.h"

#include "config/PasswordLock.h"

#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace lw::test {
namespace {

class WindowTest : public HomeFixture {
protected:
    void SetUp() override
    {
        HomeFixture::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(m_runtime.isValid());
        ASSERT_TRUE(m_config.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_config.path());
    }
    void TearDown() override
    {
        for (auto& p : m_processes) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(10000);
            }
        }
        HomeFixture::TearDown();
    }

    // Starts the program with its window; the per-user runtime and settings folders are this test's.
    QProcess* Start()
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = Environment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
        env.insert(QStringLiteral("LARCHWATCHER_TRACE_START"), QStringLiteral("1"));
        process->setProcessEnvironment(env);
        process->start(QStringLiteral(LW_PROGRAM),
                       {QStringLiteral("--home"), Home(), QStringLiteral("--print-to"), Home() + Sep() + "pdf"});
        EXPECT_TRUE(process->waitForStarted(10000));
        m_processes.push_back(std::move(process));
        return m_processes.back().get();
    }

    // Standard error so far, waiting up to timeoutMs for text to appear in it.
    static QString WaitForError(QProcess* process, const QString& text, int timeoutMs)
    {
        QString seen;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs && !seen.contains(text)) {
            process->waitForReadyRead(100);
            seen += QString::fromUtf8(process->readAllStandardError());
            if (process->state() == QProcess::NotRunning) return seen + QString::fromUtf8(process->readAllStandardError());
        }
        return seen;
    }

    QTemporaryDir m_runtime;
    QTemporaryDir m_config;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

TEST_F(WindowTest, WindowPollsAtTheStoredIntervalAndTheSecondCopyIsRefused)
{
    Set("Interval", "1500");
    WriteSettings();
    const QString sender = Address("suzuki");
    AddRule(sender, "011100");  // save, clear, log
    const QString subject = QStringLiteral("窓口からの監視");
    Deliver(JapaneseMessage(QStringLiteral("鈴木 一郎"), sender, subject, QStringLiteral("本文です。\n")));

    QElapsedTimer clock;
    clock.start();
    QProcess* first = Start();
    const QString err = WaitForError(first, QStringLiteral("window shown after"), 15000);
    const qint64 shownAfter = clock.elapsed();
    ASSERT_TRUE(err.contains(QStringLiteral("window shown after"))) << err.toStdString();
    std::printf("window shown %lld ms after the program was started\n", static_cast<long long>(shownAfter));
    EXPECT_LT(shownAfter, 5000) << "start-up far slower than the 1 s aimed at";

    // The first tick comes one interval after start-up, not at once.
    QTest::qWait(700);
    EXPECT_EQ(Servers().MailboxCount(User()), 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Servers().MailboxCount(User()) == 0; }, 20000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return LogTexts().size() >= 2; }, 10000));
    const QStringList log = LogTexts();
    EXPECT_TRUE(log.value(0).startsWith(QStringLiteral("メール保存["))) << log.join('\n').toStdString();
    EXPECT_TRUE(log.value(1).startsWith(QStringLiteral("メールボックスクリア[")));
    EXPECT_EQ(HistoryColumn(QStringLiteral("件名")), QStringList{subject});

    // Start-up has seeded both lock passwords.
    EXPECT_EQ(config::GetSecret(config::kUserEntry), QStringLiteral("wvw"));
    EXPECT_EQ(config::GetSecret(config::kMasterEntry), QStringLiteral("pqvex"));
    const QString store = m_config.path() + "/larchwatcher/larchwatcher.conf";
    const QByteArray storeBefore = ReadAll(store);
    ASSERT_TRUE(config::SaveEntry(config::kMasterEntry, QStringLiteral("tampered")));
    const QByteArray storeTampered = ReadAll(store);
    EXPECT_NE(storeBefore, storeTampered);

    // A second copy says so and ends without touching the store.
    QProcess* second = Start();
    const QString refused = WaitForError(second, QStringLiteral("既に起動されています"), 15000);
    EXPECT_TRUE(refused.contains(QStringLiteral("「LarchWatcher」は既に起動されています。"))) << refused.toStdString();
    EXPECT_FALSE(refused.contains(QStringLiteral("window shown")));
    second->kill();  // its message box waits for an OK nobody gives
    second->waitForFinished(10000);
    EXPECT_EQ(ReadAll(store), storeTampered);
    EXPECT_EQ(first->state(), QProcess::Running) << "the running copy is left alone";
}

TEST_F(WindowTest, ChangedUserPasswordSurvivesARestartAfterACrash)
{
    WriteSettings();
    (void)Database();
    QProcess* first = Start();
    ASSERT_TRUE(WaitForError(first, QStringLiteral("window shown after"), 15000).contains("window shown after"));
    EXPECT_TRUE(QTest::qWaitFor([] { return config::GetSecret(config::kUserEntry) == QStringLiteral("wvw"); }, 10000));
    ASSERT_TRUE(config::SavePassword(QStringLiteral("chg1")));
    ASSERT_TRUE(config::SaveEntry(config::kMasterEntry, QStringLiteral("tampered")));

    // Killed outright: its lock stays behind and must not block the next start.
    first->kill();
    first->waitForFinished(10000);
    QProcess* again = Start();
    const QString err = WaitForError(again, QStringLiteral("window shown after"), 15000);
    ASSERT_TRUE(err.contains(QStringLiteral("window shown after"))) << err.toStdString();
    EXPECT_TRUE(QTest::qWaitFor([] { return config::GetSecret(config::kMasterEntry) == QStringLiteral("pqvex"); }, 10000));
    EXPECT_EQ(config::GetSecret(config::kUserEntry), QStringLiteral("chg1"));
}

} // namespace
} // namespace lw::test
