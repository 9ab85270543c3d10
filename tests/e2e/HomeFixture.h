#pragma once

// A program folder for end-to-end runs of the real program against the loopback servers.

#include "engine/EngineTestUtil.h"
#include "engine/mail/ActivityLog.h"
#include "support/TempHome.h"
#include "support/TestServers.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <gtest/gtest.h>
#include <iconv.h>

#include <csignal>
#include <optional>

namespace lw::test {

// Text in ISO-2022-JP, as Japanese mail carries it (empty on a conversion failure).
inline QByteArray ToJis(const QString& text)
{
    iconv_t cd = iconv_open("ISO-2022-JP", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    QByteArray in = text.toUtf8();
    QByteArray out(in.size() * 4 + 16, '\0');
    char* inPtr = in.data();
    size_t inLeft = static_cast<size_t>(in.size());
    char* outPtr = out.data();
    size_t outLeft = static_cast<size_t>(out.size());
    const size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    const size_t flushed = iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    iconv_close(cd);
    if (done == static_cast<size_t>(-1) || flushed == static_cast<size_t>(-1)) return {};
    out.truncate(out.size() - static_cast<qsizetype>(outLeft));
    return out;
}

// A message as a Japanese mail program writes it: ISO-2022-JP encoded words, 7-bit JIS body.
inline QByteArray JapaneseMessage(const QString& fromName, const QString& fromAddress, const QString& subject,
                                  const QString& body)
{
    auto word = [](const QString& t) { return "=?ISO-2022-JP?B?" + ToJis(t).toBase64() + "?="; };
    static int serial = 0;
    QByteArray m;
    m += "Return-Path: <" + fromAddress.toUtf8() + ">\r\n";
    m += "Date: " + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toUtf8() + "\r\n";
    m += "From: " + (fromName.isEmpty() ? QByteArray() : word(fromName) + " ") + "<" + fromAddress.toUtf8() + ">\r\n";
    m += "To: " + word(QStringLiteral("監視窓口")) + " <watch@example.jp>\r\n";
    m += "Subject: " + word(subject) + "\r\n";
    m += "Message-ID: <" + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + "." + QByteArray::number(++serial) +
         "@mail.example.co.jp>\r\n";
    m += "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=ISO-2022-JP\r\nContent-Transfer-Encoding: 7bit\r\n";
    m += "X-Mailer: Mailer 7.0\r\n\r\n";
    m += ToJis(body).replace("\n", "\r\n");
    m += "\r\n";
    return m;
}

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
        const QString pop = QString::number(m_servers->pop3Port), smtp = QString::number(m_servers->smtpPort);
        m_settings = {{"popserver", m_servers->host}, {"popaccount", User()},   {"poppassword", m_lease->Password()},
                      {"smtpserver", m_servers->host}, {"smtpaccount", User()}, {"smtppassword", m_lease->Password()},
                      {"portpop", pop},   {"portsmtp", smtp},   {"timeoutsmtp", "10"}, {"Interval", "60000"},
                      {"reffile", "list"}, {"savedir", "mail"}, {"logfile", "log"},
                      {"keepday", "30000"},  // old sample mail must not be purged in its own tick
                      {"cmdaccount", "cmdaccount"}, {"cmdpassword", "cmdpassword"}};
        for (const char* off : {"flgauth", "authtyp", "flgacpwpop", "flgtrs", "flgtrstgt", "flgtrsto", "flgcmd"})
            m_settings[QString::fromLatin1(off)] = QStringLiteral("0");
    }

    void TearDown() override
    {
        if (!m_dbName.isEmpty()) {
            QSqlDatabase::database(m_dbName, false).close();
            QSqlDatabase::removeDatabase(m_dbName);
        }
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

    void WriteSettings() const
    {
        QFile f(Home() + Sep() + QStringLiteral("larchwatcher.ini"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QByteArray text = "[larchwatcher]\n";
        for (auto it = m_settings.cbegin(); it != m_settings.cend(); ++it)
            text += it.key().toUtf8() + "=" + it.value().toUtf8() + "\n";
        ASSERT_EQ(f.write(text), text.size());
    }

    // The list database the program made or will use; copied from the template when missing.
    QSqlDatabase Database()
    {
        const QString file = Home() + Sep() + QStringLiteral("list.db");
        if (!QFile::exists(file)) {
            EXPECT_TRUE(QFile::copy(TemplateDatabase(), file));
        }
        if (m_dbName.isEmpty()) {
            m_dbName = QStringLiteral("e2e-") + m_token;
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_dbName);
            db.setDatabaseName(file);
            EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
        }
        return QSqlDatabase::database(m_dbName);
    }

    void Exec(const QString& sql, const QVariantList& values = {})
    {
        QSqlQuery q(Database());
        ASSERT_TRUE(q.prepare(sql)) << q.lastError().text().toStdString();
        for (const QVariant& v : values) q.addBindValue(v);
        ASSERT_TRUE(q.exec()) << q.lastError().text().toStdString() << " in " << sql.toStdString();
    }

    // flags: print, save, clear, log, reject, forward as a text of six 0/1 digits.
    void AddRule(const QString& address, const char* flags, const QString& to = {}, const QString& cc = {},
                 const QString& bcc = {})
    {
        QVariantList v{address};
        for (int i = 0; i < 6; ++i) v << (flags[i] == '1' ? 1 : 0);
        v << to << cc << bcc;
        Exec(QStringLiteral("INSERT INTO tblList (アドレス, 名前, 印刷, メール保存, ボックスクリア, ログ出力, 受信拒否, "
                            "メール転送, 転送先TO, 転送先CC, 転送先BCC) VALUES (?, '', ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
             v);
    }

    // One column of every history row, in insertion order.
    QStringList HistoryColumn(const QString& column, const QString& where = {})
    {
        QSqlQuery q(Database());
        EXPECT_TRUE(q.exec(QStringLiteral("SELECT %1 FROM tblHistory %2 ORDER BY rowid").arg(column, where)))
            << q.lastError().text().toStdString();
        QStringList values;
        while (q.next()) values << q.value(0).toString();
        return values;
    }

    // One history column of the message with this subject ("<no row>" when there is none).
    QString Column(const QString& subject, const QString& column)
    {
        return HistoryColumn(column, QStringLiteral("WHERE 件名 = '%1'").arg(subject)).value(0, QStringLiteral("<no row>"));
    }

    // The work-folder path of the message with this subject.
    QString PathOf(const QString& subject)
    {
        const QString path = Column(subject, QStringLiteral("保存ファイルパス"));
        EXPECT_NE(path, QStringLiteral("<no row>")) << subject.toStdString();
        return path == QStringLiteral("<no row>") ? QString() : path;
    }

    QStringList Subjects() { return HistoryColumn(QStringLiteral("件名")); }
    QString Base(const QString& path) const { return QFileInfo(path).fileName(); }
    QString Saved(const QString& path) const { return SaveFolder() + Sep() + Base(path); }
    static QByteArray ReadAll(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    void Deliver(const QByteArray& message) const
    {
        QString error;
        ASSERT_TRUE(m_servers->Deliver(User(), message, &error)) << error.toStdString();
        QThread::msleep(2);  // maildir names carry the time: server order is delivery order
    }

    struct Run {
        int status = -1;
        QString out;
        QString err;
    };

    QProcessEnvironment Environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LARCHWATCHER_CA_FILE"), m_servers->caFile);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        return env;
    }

    QStringList Arguments(const QString& mode) const
    {
        return {QStringLiteral("--home"), Home(), mode, QStringLiteral("--print-to"), Home() + Sep() + QStringLiteral("pdf")};
    }

    // Waits for the program's end: its exit code, -2 on a crash, -3 (killed) when it hangs.
    static int Finish(QProcess& p, int ms)
    {
        if (!p.waitForFinished(ms)) {
            p.kill();
            p.waitForFinished();
            return -3;
        }
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    }

    Run PollOnce()
    {
        QProcess p;
        p.setProcessEnvironment(Environment());
        p.start(QStringLiteral(LW_PROGRAM), Arguments(QStringLiteral("--poll-once")));
        const int status = Finish(p, 120000);
        EXPECT_NE(status, -3) << "--poll-once did not finish";
        return {status, QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
    }

    // The log's entry texts; a malformed entry shows as "<bad>...".
    QStringList LogTexts() const { return LogEntries(m_home.Folder()); }

    // Starts the program as a service.
    void StartService(QProcess& p) const
    {
        p.setProcessEnvironment(Environment());
        p.start(QStringLiteral(LW_PROGRAM), Arguments(QStringLiteral("--service")));
        ASSERT_TRUE(p.waitForStarted());
    }

    // Ends the service with a signal; its exit status as Finish gives it.
    static int StopService(QProcess& p, int signal = SIGTERM)
    {
        ::kill(static_cast<pid_t>(p.processId()), signal);
        return Finish(p, 60000);
    }

    TempHome m_home;
    std::optional<TestServers> m_servers;
    std::optional<MailboxLease> m_lease;
    QString m_token;
    QMap<QString, QString> m_settings;
    QString m_dbName;
};

} // namespace lw::test
