#pragma once

// A program folder for end-to-end runs of the real program against the loopback servers.

#include "support/Messages.h"
#include "support/Peek.h"
#include "support/TempHome.h"
#include "support/TestServers.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

namespace lw::test {

// Collects one output channel into seen until it holds text `times` times; false on time-out or the
// process's end.
inline bool ReadUntil(QProcess& p, QByteArray& seen, const QByteArray& text, int times = 1, int ms = 15000,
                      QProcess::ProcessChannel channel = QProcess::StandardOutput)
{
    const QDeadlineTimer deadline(ms);
    p.setReadChannel(channel);
    while ((seen += p.readAll()).count(text) < times) {
        if (p.state() == QProcess::NotRunning) return (seen += p.readAll()).count(text) >= times;
        if (deadline.hasExpired()) return false;
        p.waitForReadyRead(100);
    }
    return true;
}

inline void Kill(QProcess& p)
{
    p.kill();
    p.waitForFinished();
}
// Waits for the end (after a signal, if given): the exit code, -2 on a crash, -3 (killed) when it hangs.
inline int Finish(QProcess& p, int signal = 0, int ms = 60000)
{
    if (signal != 0) ::kill(static_cast<pid_t>(p.processId()), signal);
    if (p.waitForFinished(ms)) return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    Kill(p);
    return -3;
}

// tests/e2e/<script>, listening on the port it names first ("PORT n"; 0 when it did not), killed
// with the object.
struct PortHelper {
    PortHelper(const QString& script, const QStringList& args)
    {
        p.start("/usr/bin/python3", QStringList{LW_SOURCE_DIR "/tests/e2e/" + script} + args);
        QByteArray said;
        if (ReadUntil(p, said, "\n") && said.startsWith("PORT ")) port = said.mid(5).trimmed().toInt();
    }
    ~PortHelper() { Kill(p); }
    QString Port() const { return QString::number(port); }

    QProcess p;
    int port = 0;
};

// A temporary program folder, its settings and database, and runs of the real program.
class HomeFixture : public ::testing::Test {
  protected:
    void SetUp() override
    {
        QString reason;
        m_servers = TestServers::Load(&reason);
        if (!m_servers) GTEST_SKIP() << reason.toStdString();
        m_lease = m_servers->LeaseMailbox();
        ASSERT_TRUE(m_lease.has_value()) << "no free test mailbox";
        m_token = QString::number(QRandomGenerator::global()->generate() % 1000000);
        for (const QString side : {"pop", "smtp"})
            Set({{side + "server", m_servers->host},
                 {side + "account", User()},
                 {side + "password", m_lease->Password()},
                 {"port" + side,
                  QString::number(side == "pop" ? m_servers->pop3Port : m_servers->smtpPort)}});
        // keepday: old sample mail must not be purged in its own tick.
        for (const QString line :
             {"timeoutsmtp=10", "Interval=60000", "reffile=list", "savedir=mail", "logfile=log",
              "keepday=30000", "cmdaccount=cmdaccount", "cmdpassword=cmdpassword", "flgauth=0", "authtyp=0",
              "flgacpwpop=0", "flgtrs=0", "flgtrstgt=0", "flgtrsto=0", "flgcmd=0"})
            Set(line.section('=', 0, 0), line.section('=', 1));
        m_env.insert("LARCHWATCHER_CA_FILE", m_servers->caFile);
        m_env.insert("QT_QPA_PLATFORM", "offscreen");
        m_env.insert("LANG", "C.UTF-8");
    }

    QString Home() const { return m_home.Path(); }
    QString File(const QString& name) const { return m_home.File(name); }
    QString WorkFolder() const { return File("mail/work"); }
    const TestServers& Servers() const { return *m_servers; }
    const QString& User() const { return m_lease->User(); }
    // A unique mail address for this test run.
    QString Address(const QString& local) const { return local + u'-' + m_token + "@example.co.jp"; }

    void Set(const QString& key, const QString& value) { m_settings[key] = value; }
    void Set(const QMap<QString, QString>& values) { m_settings.insert(values); }
    // Forwarding on, to a fixed list.
    void Forwarding(const QString& to) { Set({{"flgtrs", "1"}, {"flgtrstgt", "0"}, {"trsto", to}}); }
    // The settings file: the keys set, then the further sections given.
    void WriteSettings(const QByteArray& sections = {}) const
    {
        QByteArray text = "[larchwatcher]\n";
        for (auto it = m_settings.cbegin(); it != m_settings.cend(); ++it)
            text += (it.key() + '=' + *it + '\n').toUtf8();
        ASSERT_TRUE(WriteFile(File("larchwatcher.ini"), text + sections));
    }

    // Runs sql on the list database (from the template when missing); each row's first column.
    QStringList Query(const QString& sql, const QVariantList& values = {})
    {
        EXPECT_TRUE(QFile::exists(File("list.db")) || QFile::copy(TemplateDatabase(), File("list.db")));
        return Peek(File("list.db")).Column(sql, values);
    }
    // flags: print, save, clear, log, reject, forward as a text of six 0/1 digits.
    void AddRule(const QString& address, const char* flags)
    {
        QVariantList v{address};
        for (int i = 0; i < 6; ++i)
            v << (flags[i] == '1' ? 1 : 0);
        Query("INSERT INTO tblList (アドレス, 名前, 印刷, メール保存, ボックスクリア, ログ出力, 受信拒否, "
              "メール転送) VALUES (?, '', ?, ?, ?, ?, ?, ?)",
              v);
    }
    // One history column, in insertion order or sorted by another column.
    QStringList History(const QString& column, const QString& order = "rowid")
    {
        return Query("SELECT " + column + " FROM tblHistory ORDER BY " + order);
    }
    QStringList Subjects() { return History("件名"); }
    QStringList SortedSubjects() { return History("件名", "件名"); }
    // The work-folder path of the message with this subject (empty without a row).
    QString PathOf(const QString& subject)
    {
        return Query("SELECT 保存ファイルパス FROM tblHistory WHERE 件名 = ?", {subject}).value(0);
    }
    // The log's entry texts; a malformed entry shows as "<bad>...".
    QStringList LogTexts() const { return LogEntries(m_home.Folder()); }

    void Deliver(const QByteArray& message) const
    {
        QString error;
        ASSERT_TRUE(m_servers->Deliver(User(), message, &error)) << error.toStdString();
        QThread::msleep(2); // maildir names carry the time: server order is delivery order
    }
    void DeliverJp(const QString& name, const QString& from, const QString& subject)
    {
        Deliver(JapaneseMessage(name, from, subject, "本文"));
    }

    // Starts the program on this folder, or another one, in a mode ("--poll-once", "--service", none
    // for the window).
    void Start(QProcess& p, const QStringList& args, QString home = {}) const
    {
        if (home.isEmpty()) home = Home();
        p.setProcessEnvironment(m_env);
        p.start(LW_PROGRAM, QStringList{"--home", home, "--print-to", home + "/pdf"} + args);
        EXPECT_TRUE(p.waitForStarted(10000));
    }
    // Starts the service and expects it to say it has started; what it wrote so far.
    QByteArray StartService(QProcess& p, const QString& home = {}) const
    {
        Start(p, {"--service"}, home);
        QByteArray out;
        EXPECT_TRUE(ReadUntil(p, out, "service started")) << out.data();
        return out;
    }

    struct Run {
        int status;
        QString out, err;
    };
    static constexpr int kAnyStatus = -1;
    // One --poll-once run, expected to end with status (with any, given kAnyStatus).
    Run PollOnce(int status = 0, const QStringList& args = {}, const QString& home = {}) const
    {
        QProcess p;
        Start(p, QStringList{"--poll-once"} + args, home);
        const Run run{Finish(p, 0, 120000), p.readAllStandardOutput(), p.readAllStandardError()};
        EXPECT_NE(run.status, -3) << "--poll-once did not finish";
        if (status != kAnyStatus) {
            EXPECT_EQ(run.status, status) << run.err.toStdString();
        }
        return run;
    }
    // What a relay recorded of the client: the capability request, and no credential, secret or mail.
    void ExpectNothingInClear(const QString& record, const char* request, const QString& secret) const
    {
        const QByteArray seen = ReadFile(record).toUpper();
        EXPECT_TRUE(seen.contains(request)) << "the relay was not used: " << seen.toStdString();
        for (const char* word : {"USER ", "PASS ", "AUTH", "APOP ", "MAIL FROM", "DATA", "RETR"})
            EXPECT_FALSE(seen.contains(word)) << word << " was sent in clear: " << seen.toStdString();
        EXPECT_FALSE(ReadFile(record).contains(secret.toUtf8()));
        QFile::remove(record);
    }

    TempHome m_home;
    std::optional<TestServers> m_servers;
    std::optional<MailboxLease> m_lease;
    QString m_token;
    QMap<QString, QString> m_settings;
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();
};

} // namespace lw::test
