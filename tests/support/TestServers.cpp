#include "support/TestServers.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <atomic>
#include <sys/file.h>
#include <unistd.h>

namespace lw::test {

MailboxLease::MailboxLease(std::unique_ptr<QFile> lock, QString user, QString password)
    : m_lock(std::move(lock)), m_user(std::move(user)), m_password(std::move(password))
{
}

std::optional<TestServers> TestServers::Load(QString* reason)
{
    const QString dir = qEnvironmentVariable("LW_TEST_SERVERS_DIR", "/tmp/lw-test-servers");
    QFile f(dir + "/env");
    if (!f.open(QIODevice::ReadOnly)) {
        if (reason)
            *reason = "loopback mail servers are not running (no " + f.fileName() +
                      "); start them with tools/test-servers start";
        return std::nullopt;
    }
    TestServers s;
    const QRegularExpression quoted("^\"(.*)\"$");
    while (!f.atEnd()) { // KEY=value or KEY="value"
        const QString line = QString(f.readLine()).trimmed();
        if (line.indexOf(u'=') > 0)
            s.m_env.insert(line.section(u'=', 0, 0), line.section(u'=', 1).replace(quoted, "\\1"));
    }
    const auto number = [&](const char* key) { return s.m_env.value(key, "-1").toInt(); };
    s.host = s.m_env.value("LW_POP3_HOST", s.host);
    s.pop3Port = number("LW_POP3_PORT");
    s.pop3sPort = number("LW_POP3S_PORT");
    s.smtpPort = number("LW_SMTP_PORT");
    s.smtpsPort = number("LW_SMTPS_PORT");
    s.mailUid = number("LW_MAIL_UID");
    s.mailGid = number("LW_MAIL_GID");
    s.caFile = s.m_env.value("LW_TEST_CA");
    s.maildirRoot = s.m_env.value("LW_MAILDIR_ROOT");
    s.sinkDir = s.m_env.value("LW_SINK_DIR");
    s.oauthUrl = s.m_env.value("LW_OAUTH_URL");
    s.stateDir = s.m_env.value("LW_TEST_SERVERS_DIR");
    s.users = s.m_env.value("LW_TEST_USERS").split(u' ', Qt::SkipEmptyParts);
    if (s.pop3Port <= 0 || s.smtpPort <= 0 || s.users.isEmpty()) {
        if (reason) *reason = "env file " + f.fileName() + " is incomplete";
        return std::nullopt;
    }
    return s;
}

std::optional<MailboxLease> TestServers::LeaseMailbox(int timeoutMs) const
{
    const QString lockDir = stateDir + "/locks";
    QDir().mkpath(lockDir);
    const QDeadlineTimer deadline(timeoutMs);
    do {
        for (const QString& u : users) {
            if (u == "lwbench") continue; // kept for the benchmarks
            auto lock = std::make_unique<QFile>(lockDir + '/' + u + ".lock");
            if (lock->open(QIODevice::ReadWrite) && ::flock(lock->handle(), LOCK_EX | LOCK_NB) == 0) {
                for (const char* sub : {"/Maildir/cur", "/Maildir/new", "/Maildir/tmp"}) {
                    QDir d(maildirRoot + '/' + u + sub);
                    for (const QString& n : d.entryList(QDir::Files | QDir::Hidden))
                        d.remove(n);
                }
                return MailboxLease(std::move(lock), u, Password(u));
            }
        }
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    return std::nullopt;
}

bool TestServers::Deliver(const QString& user, const QByteArray& message, QString* error) const
{
    static std::atomic<int> counter{0};
    const QString md = maildirRoot + '/' + user + "/Maildir";
    const QString name = QString::asprintf("%lld.P%dQ%08d.lwtest", // sorts in delivery order
                                           QDateTime::currentMSecsSinceEpoch(), ::getpid(), counter++);
    QFile f(md + "/tmp/" + name);
    QString failure;
    if (!f.open(QIODevice::WriteOnly) || f.write(message) != message.size())
        failure = "cannot write " + f.fileName() + ": " + f.errorString();
    f.close();
    if (failure.isEmpty() && mailUid >= 0 && ::geteuid() == 0 &&
        ::chown(QFile::encodeName(f.fileName()).constData(), uid_t(mailUid), gid_t(mailGid)) != 0)
        failure = "cannot give " + f.fileName() + " to the mail user";
    if (failure.isEmpty() && !f.rename(md + "/new/" + name))
        failure = "cannot move " + f.fileName() + " into new/";
    if (error) *error = failure;
    return failure.isEmpty();
}

int TestServers::MailboxCount(const QString& user) const
{
    const QString md = maildirRoot + '/' + user + "/Maildir/";
    return int(QDir(md + "cur").entryList(QDir::Files).size() +
               QDir(md + "new").entryList(QDir::Files).size());
}

QJsonObject TestServers::OAuthCall(const QString& path, const QStringList& form) const
{
    // The system interpreter's HTTP client, so that the test binaries need no network module.
    static const char* const script =
        "import sys, urllib.parse, urllib.request\n"
        "data = urllib.parse.urlencode([tuple(a.split('=', 1)) for a in sys.argv[2:]])"
        ".encode() if sys.argv[2:] else None\n"
        "print(urllib.request.urlopen(sys.argv[1], data, timeout=20).read().decode())\n";
    QProcess p;
    p.start("/usr/bin/python3", QStringList{"-c", script, oauthUrl + path} + form);
    if (!p.waitForFinished(30000) || p.exitCode() != 0) return {};
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

std::vector<SinkMessage> TestServers::SinkMessagesTo(const QString& recipient) const
{
    std::vector<SinkMessage> out;
    const QDir d(sinkDir);
    for (const QString& json : d.entryList({"*.json"}, QDir::Files, QDir::Name)) {
        QFile jf(d.filePath(json)), ef(d.filePath(json.chopped(5) + ".eml"));
        if (!jf.open(QIODevice::ReadOnly) || !ef.open(QIODevice::ReadOnly)) continue;
        const QJsonObject o = QJsonDocument::fromJson(jf.readAll()).object();
        SinkMessage m(ef.fileName(), ef.readAll(), o["mail_from"].toString(),
                      o["rcpt_tos"].toVariant().toStringList(), o["auth_login"].toString(),
                      o["auth_mechanism"].toString(), o["tls"].toBool());
        if (m.rcptTos.contains(recipient, Qt::CaseInsensitive)) out.push_back(std::move(m));
    }
    return out;
}

} // namespace lw::test
