#include "support/TestServers.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QThread>

#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace lw::test {

MailboxLease::MailboxLease(int fd, QString user, QString password)
    : m_lock(nullptr, [fd](void*) { ::close(fd); }), m_user(std::move(user)), m_password(std::move(password))
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
    while (!f.atEnd()) { // KEY=value or KEY="value" (no value holds a quote)
        const QString line = QString(f.readLine()).trimmed();
        if (line.indexOf(u'=') > 0)
            s.m_env.insert(line.section(u'=', 0, 0), line.section(u'=', 1).remove(u'"'));
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
    QElapsedTimer t;
    t.start();
    do {
        for (const QString& u : users) {
            // Kept for the benchmark and for the one test of a password beginning with "a ".
            if (u == "lwbench" || u == "lwapass") continue;
            const int fd = ::open(QFile::encodeName(lockDir + '/' + u + ".lock").constData(),
                                  O_RDWR | O_CREAT | O_CLOEXEC, 0666);
            if (fd < 0) continue;
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                for (const char* sub : {"/Maildir/cur", "/Maildir/new", "/Maildir/tmp"}) {
                    QDir d(maildirRoot + '/' + u + sub);
                    for (const QString& n : d.entryList(QDir::Files | QDir::Hidden))
                        d.remove(n);
                }
                return MailboxLease(fd, u, Password(u));
            }
            ::close(fd);
        }
        QThread::msleep(50);
    } while (t.elapsed() < timeoutMs);
    return std::nullopt;
}

bool TestServers::Deliver(const QString& user, const QByteArray& message, QString* error) const
{
    static std::atomic<int> counter{0};
    const QString md = maildirRoot + '/' + user + "/Maildir";
    const QString name = QString("%1.P%2Q%3.lwtest") // sorts in delivery order
                             .arg(QDateTime::currentMSecsSinceEpoch())
                             .arg(::getpid())
                             .arg(counter++, 8, 10, QLatin1Char('0'));
    QFile f(md + "/tmp/" + name);
    QString failure;
    if (!f.open(QIODevice::WriteOnly) || f.write(message) != message.size())
        failure = "cannot write " + f.fileName() + ": " + f.errorString();
    f.close();
    const QByteArray tmp = QFile::encodeName(f.fileName());
    if (failure.isEmpty() && mailUid >= 0 && ::geteuid() == 0 &&
        ::chown(tmp.constData(), static_cast<uid_t>(mailUid), static_cast<gid_t>(mailGid)) != 0)
        failure = "cannot give " + f.fileName() + " to the mail user";
    if (failure.isEmpty() &&
        ::rename(tmp.constData(), QFile::encodeName(md + "/new/" + name).constData()) != 0)
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
        SinkMessage m{ef.fileName(),
                      ef.readAll(),
                      o.value("mail_from").toString(),
                      o.value("rcpt_tos").toVariant().toStringList(),
                      o.value("auth_login").toString(),
                      o.value("auth_mechanism").toString(),
                      o.value("tls").toBool()};
        if (m.rcptTos.contains(recipient, Qt::CaseInsensitive)) out.push_back(std::move(m));
    }
    return out;
}

} // namespace lw::test
