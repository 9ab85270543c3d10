#pragma once

// A program folder for end-to-end runs of the real program against the loopback servers.

#include "support/Messages.h"
#include "store/StoreFixture.h"
#include "support/TempHome.h"
#include "support/TestServers.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

namespace lw::test {

// A temporary program folder, its settings and database, and runs of the real program.
class HomeFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        QString reason;
        m_servers = TestServers::Load(&reason);
        if (!m_servers) GTEST_SKIP() << reason.toStdString();
        auto lease = m_servers->LeaseMailbox();
        ASSERT_TRUE(lease.has_value()) << "no free test mailbox";
        m_lease.emplace(std::move(*lease));
        m_token = QString::number(QRandomGenerator::global()->generate() % 1000000);
        const QString host = m_servers->host, user = User(), password = m_lease->Password();
        m_settings = {{"popserver", host},  {"popaccount", user},  {"poppassword", password},
                      {"smtpserver", host}, {"smtpaccount", user}, {"smtppassword", password},
                      {"portpop", QString::number(m_servers->pop3Port)}, {"portsmtp", QString::number(m_servers->smtpPort)},
                      {"timeoutsmtp", "10"}, {"Interval", "60000"}, {"reffile", "list"}, {"savedir", "mail"}, {"logfile", "log"},
                      {"keepday", "30000"}, // old sample mail must not be purged in its own tick
                      {"cmdaccount", "cmdaccount"}, {"cmdpassword", "cmdpassword"}};
        for (const char* off : {"flgauth", "authtyp", "flgacpwpop", "flgtrs", "flgtrstgt", "flgtrsto", "flgcmd"})
            m_settings[QString::fromLatin1(off)] = QStringLiteral("0");
    }

    QString Home() const { return m_home.Path(); }
    QString Sep() const { return QDir::separator(); }
    QString SaveFolder() const { return Home() + Sep() + QStringLiteral("mail"); }
    QString WorkFolder() const { return SaveFolder() + Sep() + QStringLiteral("work"); }
    const TestServers& Servers() const { return *m_servers; }
    const QString& User() const { return m_lease->User(); }
    // A unique mail address for this test run.
    QString Address(const QString& local) const { return local + u'-' + m_token + QStringLiteral("@example.co.jp"); }

    void Set(const QString& key, const QString& value) { m_settings[key] = value; }
    // Forwarding on: target 0 fixed list, 1 address book, 2 per sender.
    void Forwarding(const char* target, const QString& to)
    {
        Set("flgtrs", "1");
        Set("flgtrstgt", QString::fromLatin1(target));
        Set("trsto", to);
    }
    void WriteSettings() const
    {
        QByteArray text = "[larchwatcher]\n";
        for (auto it = m_settings.cbegin(); it != m_settings.cend(); ++it) text += (it.key() + '=' + *it + '\n').toUtf8();
        ASSERT_FALSE(WriteFile(Home(), QStringLiteral("larchwatcher.ini"), text).isEmpty());
    }

    // Runs sql with positional values on the list database (from the template when missing); each row's first column.
    QStringList Query(const QString& sql, const QVariantList& values = {})
    {
        const QString file = Home() + Sep() + QStringLiteral("list.db");
        EXPECT_TRUE(QFile::exists(file) || QFile::copy(TemplateDatabase(), file));
        return Peek(file).Column(sql, values);
    }
    // flags: print, save, clear, log, reject, forward as a text of six 0/1 digits.
    void AddRule(const QString& address, const char* flags, const QString& to = {}, const QString& cc = {})
    {
        QVariantList v{address};
        for (int i = 0; i < 6; ++i) v << (flags[i] == '1' ? 1 : 0);
        Query("INSERT INTO tblList (アドレス, 名前, 印刷, メール保存, ボックスクリア, ログ出力, 受信拒否, メール転送, 転送先TO, "
              "転送先CC) VALUES (?, '', ?, ?, ?, ?, ?, ?, ?, ?)", v << to << cc);
    }
    // One history column, in insertion order or sorted by another column.
    QStringList History(const QString& column, const QString& order = QStringLiteral("rowid"))
    {
        return Query("SELECT " + column + " FROM tblHistory ORDER BY " + order);
    }
    QStringList Subjects() { return History(QStringLiteral("件名")); }
    // One history column of the message with this subject (empty without a row), and its work-folder path.
    QString Column(const QString& subject, const QString& column)
    {
        return Query("SELECT " + column + " FROM tblHistory WHERE 件名 = ?", {subject}).value(0);
    }
    QString PathOf(const QString& subject) { return Column(subject, QStringLiteral("保存ファイルパス")); }
    QString Base(const QString& path) const { return QFileInfo(path).fileName(); }
    QString Saved(const QString& path) const { return SaveFolder() + Sep() + Base(path); }
    // The log's entry texts; a malformed entry shows as "<bad>...".
    QStringList LogTexts() const { return LogEntries(m_home.Folder()); }

    void Deliver(const QByteArray& message) const
    {
        QString error;
        ASSERT_TRUE(m_servers->Deliver(User(), message, &error)) << error.toStdString();
        QThread::msleep(2); // maildir names carry the time: server order is delivery order
    }
    void DeliverJp(const QString& name, const QString& from, const QString& subject, const QString& body = "本文")
    {
        Deliver(JapaneseMessage(name, from, subject, body));
    }

    QProcessEnvironment Environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LARCHWATCHER_CA_FILE"), m_servers->caFile);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        return env;
    }
    // Starts the program in a mode ("--poll-once", "--service", or none for the window).
    void Start(QProcess& p, const QString& mode, const QProcessEnvironment& env) const
    {
        QStringList args{QStringLiteral("--home"), Home(), QStringLiteral("--print-to"), Home() + Sep() + "pdf"};
        if (!mode.isEmpty()) args.insert(2, mode);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(LW_PROGRAM), args);
        EXPECT_TRUE(p.waitForStarted(10000));
    }
    void StartService(QProcess& p) const { Start(p, QStringLiteral("--service"), Environment()); }
    // Waits for the program's end (after a signal, if given): its exit code, -2 on a crash, -3 (killed) when it hangs.
    static int Finish(QProcess& p, int ms = 60000, int signal = 0)
    {
        if (signal != 0) ::kill(static_cast<pid_t>(p.processId()), signal);
        if (p.waitForFinished(ms)) return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        p.kill();
        p.waitForFinished();
        return -3;
    }
    static int StopService(QProcess& p, int signal = SIGTERM) { return Finish(p, 60000, signal); }
    // Collects one output channel into seen until done(seen); false on time-out or the process's end.
    static bool ReadUntil(QProcess& p, QByteArray& seen, const std::function<bool(const QByteArray&)>& done,
                          int ms = 15000, QProcess::ProcessChannel channel = QProcess::StandardOutput)
    {
        QElapsedTimer timer;
        timer.start();
        p.setReadChannel(channel);
        while (!done(seen += p.readAll())) {
            if (p.state() == QProcess::NotRunning) return done(seen += p.readAll());
            if (timer.elapsed() > ms) return false;
            p.waitForReadyRead(100);
        }
        return true;
    }

    // Starts tests/e2e/tls_relay.py and returns the port it listens on (0 on failure).
    static int StartRelay(QProcess& p, const QStringList& args)
    {
        p.start(QStringLiteral("/usr/bin/python3"), QStringList{LW_SOURCE_DIR "/tests/e2e/tls_relay.py"} + args);
        QByteArray said;
        if (!ReadUntil(p, said, [](const QByteArray& s) { return s.startsWith("PORT ") && s.contains('\n'); }))
            return 0;
        return said.mid(5).trimmed().toInt();
    }
    static void StopRelay(QProcess& p)
    {
        p.kill();
        p.waitForFinished();
    }

    struct Run {
        int status;
        QString out, err;
    };
    // One --poll-once run; PollOk also expects it to succeed.
    Run PollOnce()
    {
        QProcess p;
        Start(p, QStringLiteral("--poll-once"), Environment());
        const int status = Finish(p, 120000);
        EXPECT_NE(status, -3) << "--poll-once did not finish";
        return {status, QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
    }
    Run PollOk()
    {
        const Run run = PollOnce();
        EXPECT_EQ(run.status, 0) << run.err.toStdString();
        return run;
    }

    TempHome m_home;
    std::optional<TestServers> m_servers;
    std::optional<MailboxLease> m_lease;
    QString m_token;
    QMap<QString, QString> m_settings;
};

} // namespace lw::test
