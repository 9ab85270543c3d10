// The real program with its window (offscreen): polling, the single-instance guards (per user
// for the window, per program folder in every mode), the seeding of the lock passwords and a
// close during a tick.
#include "e2e/HomeFixture.h"

#include "config/PasswordLock.h"

#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace lw::test {
namespace {

class WindowTest : public HomeFixture {
  protected:
    // Every run gets per-user runtime and settings folders of this test's own.
    void SetUp() override
    {
        HomeFixture::SetUp();
        ASSERT_TRUE(m_runtime.isValid() && m_config.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_config.path());
        m_env.insert("XDG_RUNTIME_DIR", m_runtime.path());
        m_env.insert("XDG_CONFIG_HOME", m_config.path());
        m_env.insert("LARCHWATCHER_TRACE_START", "1");
    }
    // A second window on a folder in use says so (and waits for an OK nobody gives).
    void ExpectRefusedWindow()
    {
        QProcess window;
        Start(window, {});
        QByteArray refused;
        ReadUntil(window, refused, "既に起動されています", 1, 15000, QProcess::StandardError);
        EXPECT_TRUE(refused.contains("「LarchWatcher」は既に起動されています。")) << refused.data();
        EXPECT_FALSE(refused.contains("window shown"));
        Kill(window);
    }

    QTemporaryDir m_runtime, m_config;
};

TEST_F(WindowTest, WindowPollsAtTheIntervalSeedsThePasswordsAndARefusedCopyTouchesNeither)
{
    Set("Interval", "1500");
    WriteSettings();
    AddRule(Address("suzuki"), "011100"); // save, clear, log
    Deliver(JapaneseMessage("鈴木 一郎", Address("suzuki"), "窓口からの監視", "本文です。\n"));

    QProcess first;
    Start(first, {});
    QByteArray err;
    ASSERT_TRUE(ReadUntil(first, err, "window shown after", 1, 15000, QProcess::StandardError)) << err.data();

    // The first tick comes one interval after start-up, not at once.
    QTest::qWait(700);
    EXPECT_EQ(Servers().MailboxCount(User()), 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Servers().MailboxCount(User()) == 0 && LogTexts().size() >= 2; },
                                20000));
    EXPECT_EQ(Subjects(), QStringList{"窓口からの監視"});

    // Start-up has seeded both lock passwords.
    EXPECT_EQ(config::GetSecret(config::kUserEntry), "wvw");
    EXPECT_EQ(config::GetSecret(config::kMasterEntry), "pqvex");
    ASSERT_TRUE(config::SaveEntry(config::kMasterEntry, "tampered"));
    const QByteArray storeTampered = ReadFile(m_config.path() + "/larchwatcher/larchwatcher.conf");
    ASSERT_FALSE(storeTampered.isEmpty());

    // A second copy says so and ends without touching the store.
    ExpectRefusedWindow();
    EXPECT_EQ(ReadFile(m_config.path() + "/larchwatcher/larchwatcher.conf"), storeTampered);
    EXPECT_EQ(first.state(), QProcess::Running) << "the running copy is left alone";
    Kill(first);
}

TEST_F(WindowTest, OneProgramFolderHasOneRunningProgramInEveryModeWhileOtherFoldersRunBesideIt)
{
    WriteSettings();                    // Interval 60000: the service's first tick is a minute away
    AddRule(Address("lock"), "011100"); // save, clear, log
    DeliverJp("鈴木", Address("lock"), "二重起動の確認");
    QProcess service;
    StartService(service);

    // On the same folder, each headless mode says why in one line and exits with its own status;
    // the window shows its message. Nothing is fetched.
    const QString onceErr = PollOnce(3).err;
    QProcess second;
    Start(second, {"--service"});
    EXPECT_EQ(Finish(second), 3);
    for (const QString& err : {onceErr, QString(second.readAllStandardError())}) {
        EXPECT_EQ(err.count("larchwatcher: "), 1) << err.toStdString(); // Qt may add its own warnings
        EXPECT_TRUE(err.contains("larchwatcher: the program folder is in use by another running copy"))
            << err.toStdString();
    }
    ExpectRefusedWindow();
    EXPECT_EQ(Servers().MailboxCount(User()), 1);
    EXPECT_TRUE(Subjects().isEmpty());
    EXPECT_EQ(service.state(), QProcess::Running) << "the running copy is left alone";

    // Another program folder runs beside it (the message is fetched there, without a rule).
    TempHome beside;
    ASSERT_TRUE(QFile::copy(File("larchwatcher.ini"), beside.File("larchwatcher.ini")));
    EXPECT_TRUE(PollOnce(0, {}, beside.Path()).out.contains("1 messages fetched"));

    // The folder is free again once the service has stopped, or was killed outright.
    EXPECT_EQ(Finish(service, SIGTERM), 0);
    StartService(service);
    Kill(service);
    PollOnce();
    EXPECT_EQ(Subjects(), QStringList{"二重起動の確認"});
    EXPECT_EQ(Servers().MailboxCount(User()), 0);
    // Killed while writing the lock: a lock file that names no process does not block the folder.
    ASSERT_TRUE(WriteFile(File("larchwatcher.lock"), {}));
    PollOnce();
    // Killed while removing such a lock: the removal's guard it left beside the lock does not block either.
    ASSERT_TRUE(WriteFile(File("larchwatcher.lock"), {}));
    ASSERT_EQ(QProcess::execute("touch", {"-d", "5 seconds ago", File("larchwatcher.lock.rmlock")}), 0);
    PollOnce();
    // A dead holder's process number passed on to a copy running on another folder: the lock
    // names a live program of the same name, but that program does not hold this lock.
    QProcess other;
    StartService(other, beside.Path());
    const QByteArray otherLock = ReadFile(beside.File("larchwatcher.lock"));
    ASSERT_TRUE(WriteFile(File("larchwatcher.lock"), otherLock));
    PollOnce();
    EXPECT_EQ(ReadFile(beside.File("larchwatcher.lock")), otherLock) << "the other copy's lock is left alone";
    EXPECT_EQ(Finish(other, SIGTERM), 0);
}

// Against a server that greets and then says nothing, 設定の保存 is pressed during the tick and
// the window closed while that save waits: the window goes at once, nothing waits spinning, the
// program ends once the tick's transfer gives up, and closing saves nothing.
TEST_F(WindowTest, ClosedWhileASaveWaitsForATickOnASilentServerEndsWithoutSpinning)
{
    PortHelper server("pop3_silent_server.py", {});
    ASSERT_GT(server.port, 0) << server.p.readAllStandardError().toStdString();
    Set({{"popserver", "127.0.0.1"}, {"portpop", server.Port()}, {"Interval", "100"}});
    WriteSettings();
    const QByteArray ini = ReadFile(File("larchwatcher.ini"));
    ASSERT_TRUE(QFile::copy(TemplateDatabase(), File("list.db")));

    QProcess driver;
    driver.setProcessEnvironment(m_env);
    driver.start(LW_CLOSE_DRIVER, {Home()});
    // The tick's login gives up after its 10 s time-out; far more means the program hangs.
    const int status = Finish(driver);
    const QString out = driver.readAllStandardOutput();
    ASSERT_NE(status, -3) << "still running 60 s after the close: " << out.toStdString();
    EXPECT_EQ(status, 0) << driver.readAllStandardError().toStdString();
    EXPECT_TRUE(out.contains("closed hidden")) << out.toStdString();
    EXPECT_FALSE(out.contains("with the save waiting")) << "the close drops the waiting save";
    const QRegularExpressionMatch cpu = QRegularExpression("ended cpu-ms (\\d+)").match(out);
    ASSERT_TRUE(cpu.hasMatch()) << out.toStdString();
    EXPECT_LT(cpu.captured(1).toInt(), 2000) << "CPU spent while waiting for the tick's end";
    QByteArray said;
    EXPECT_TRUE(ReadUntil(server.p, said, "CONNECTED", 1, 1000)) << "the tick never reached the server";
    EXPECT_EQ(ReadFile(File("larchwatcher.ini")), ini) << "closing saves nothing";
}

} // namespace
} // namespace lw::test
