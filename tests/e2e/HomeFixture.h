#pragma once

// A program folder for one end-to-end run of the real program against the loopback servers:
// its settings file, list database, log and history, and the program started on it.

#include "engine/EngineTestUtil.h"
#include "engine/mail/ActivityLog.h"
#include "support/TempHome.h"
#include "support/TestServers.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <gtest/gtest.h>
#include <iconv.h>

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

// A Japanese message as a Japanese mail program writes it: ISO-2022-JP B-encoded name and
// subject, 7-bit JIS body.
inline QByteArray JapaneseMessage(const QString& fromName, const QString& fromAddress, const QString& toAddress,
                                  const QString& subject, const QString& body,
                                  const QDateTime& date = QDateTime::currentDateTime())
{
    auto word = [](const QString& t) { return "=?ISO-2022-JP?B?" + ToJis(t).toBase64() + "?="; };
    static int serial = 0;
    QByteArray m;
    m += "Return-Path: <" + fromAddress.toUtf8() + ">\r\n";
    m += "Date: " + date.toString(Qt::RFC2822Date).toUtf8() + "\r\n";
    m += "From: " + (fromName.isEmpty() ? QByteArray() : word(fromName) + " ") + "<" + fromAddress.toUtf8() + ">\r\n";
    m += "To: " + word(QStringLiteral("監視窓口")) + " <" + toAddress.toUtf8() + ">\r\n";
    m += "Subject: " + word(subject) + "\r\n";
    m += "Message-ID: <" + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + "." + QByteArray::number(++serial) +
         "@mail.example.co.jp>\r\n";
    m += "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=ISO-2022-JP\r\nContent-Transfer-Encoding: 7bit\r\n";
    m += "X-Mailer: Mailer 7.0\r\n\r\n";
    m += ToJis(body).replace("\n", "\r\n");
    m += "\r\n";
    return m;
}

// One entry of a log file: the stamp and the text, the line end checked.
struct LogEntry {
    QString stamp;
    QString text;
};

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
        m_settings = {
            {"popserver", m_servers->host},
            {"popaccount", m_lease->User()},
            {"poppassword", m_lease->Password()},
            {"smtpserver", m_servers->host},
            {"smtpaccount", m_lease->User()},
            {"smtppassword", m_lease->Password()},
            {"flgauth", "0"},
            {"authtyp", "0"},
            {"flgacpwpop", "0"},
            {"portpop", QString::number(m_servers->pop3Port)},
            {"portsmtp", QString::number(m_servers->smtpPort)},
            {"timeoutsmtp", "10"},
            {"Interval", "60000"},
            {"reffile", "list"},
            {"savedir", "mail"},
            {"logfile", "log"},
            {"keepday", "30000"},  // old sample mail must not be purged in its own tick
            {"flgtrs", "0"},
            {"flgtrstgt", "0"},
            {"flgtrsto", "0"},
            {"trsto", ""},
            {"trscc", ""},
            {"trsbcc", ""},
            {"flgcmd", "0"},
            {"cmdaccount", "cmdaccount"},
            {"cmdpassword", "cmdpassword"},
        };
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

    // The work-folder path of the message with this subject (from its history row).
    QString PathOf(const QString& subject)
    {
        QSqlQuery q(Database());
        q.prepare(QStringLiteral("SELECT 保存ファイルパス FROM tblHistory WHERE 件名 = ?"));
        q.addBindValue(subject);
        EXPECT_TRUE(q.exec());
        if (!q.next()) {
            ADD_FAILURE() << "no history row for " << subject.toStdString();
            return {};
        }
        return q.value(0).toString();
    }

    QString Column(const QString& subject, const QString& column)
    {
        QSqlQuery q(Database());
        q.prepare(QStringLiteral("SELECT %1 FROM tblHistory WHERE 件名 = ?").arg(column));
        q.addBindValue(subject);
        EXPECT_TRUE(q.exec());
        return q.next() ? q.value(0).toString() : QStringLiteral("<no row>");
    }

    void Deliver(const QByteArray& message) const
    {
        QString error;
        ASSERT_TRUE(m_servers->Deliver(User(), message, &error)) << error.toStdString();
        // Maildir names carry the time; keep server order the delivery order.
        QThread::msleep(2);
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

    Run PollOnce()
    {
        QProcess p;
        p.setProcessEnvironment(Environment());
        p.start(QStringLiteral(LW_PROGRAM), Arguments(QStringLiteral("--poll-once")));
        Run run;
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            ADD_FAILURE() << "--poll-once did not finish";
            return run;
        }
        run.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        run.out = QString::fromUtf8(p.readAllStandardOutput());
        run.err = QString::fromUtf8(p.readAllStandardError());
        return run;
    }

    // The log's entries; every entry must be stamp + "==> " + text + CR CR LF, byte for byte.
    std::vector<LogEntry> Log() const
    {
        QFile f(mail::LogFilePath(m_home.Folder(), QStringLiteral("log"), QDateTime::currentDateTime()));
        std::vector<LogEntry> entries;
        if (!f.open(QIODevice::ReadOnly)) return entries;
        const QByteArray all = f.readAll();
        EXPECT_TRUE(all.isEmpty() || all.endsWith("\r\r\n"));
        static const QRegularExpression entry(QStringLiteral("^(\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d)==> (.*)$"),
                                              QRegularExpression::DotMatchesEverythingOption);
        const QList<QByteArray> pieces = all.split('\n');
        for (qsizetype i = 0; i + 1 < pieces.size(); ++i) {
            QByteArray raw = pieces[i];
            EXPECT_TRUE(raw.endsWith("\r\r")) << raw.toStdString();
            raw.chop(2);
            const auto match = entry.match(QString::fromUtf8(raw));
            EXPECT_TRUE(match.hasMatch()) << raw.toStdString();
            entries.push_back({match.captured(1), match.captured(2)});
        }
        return entries;
    }

    QStringList LogTexts() const
    {
        QStringList texts;
        for (const LogEntry& e : Log()) texts << e.text;
        return texts;
    }

    TempHome m_home;
    std::optional<TestServers> m_servers;
    std::optional<MailboxLease> m_lease;
    QString m_token;
    QMap<QString, QString> m_settings;
    QString m_dbName;
};

} // namespace lw::test
