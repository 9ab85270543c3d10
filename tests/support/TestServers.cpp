#include "support/TestServers.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <QUrl>

#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace lw::test {

QString TestServersEnvFile()
{
    QString dir = qEnvironmentVariable("LW_TEST_SERVERS_DIR");
    if (dir.isEmpty()) dir = QStringLiteral("/tmp/lw-test-servers");
    return dir + QStringLiteral("/env");
}

MailboxLease::MailboxLease(int fd, QString user, QString password)
    : m_fd(fd), m_user(std::move(user)), m_password(std::move(password))
{
}

MailboxLease::~MailboxLease()
{
    if (m_fd >= 0) ::close(m_fd); // releases the flock
}

MailboxLease::MailboxLease(MailboxLease&& other) noexcept
    : m_fd(other.m_fd), m_user(std::move(other.m_user)), m_password(std::move(other.m_password))
{
    other.m_fd = -1;
}

std::optional<TestServers> TestServers::Load(QString* reason)
{
    const QString envFile = TestServersEnvFile();
    QFile f(envFile);
    if (!f.open(QIODevice::ReadOnly)) {
        if (reason) *reason = "loopback mail servers are not running (no " + envFile + "); start them with tools/test-servers start";
        return std::nullopt;
    }
    TestServers s;
    const QHash<QString, QString*> texts{{"LW_POP3_HOST", &s.host},       {"LW_TEST_CA", &s.caFile},
                                         {"LW_MAILDIR_ROOT", &s.maildirRoot}, {"LW_SINK_DIR", &s.sinkDir},
                                         {"LW_OAUTH_URL", &s.oauthUrl},
                                         {"LW_TEST_SERVERS_DIR", &s.stateDir}};
    const QHash<QString, int*> numbers{{"LW_POP3_PORT", &s.pop3Port}, {"LW_POP3S_PORT", &s.pop3sPort},
                                       {"LW_SMTP_PORT", &s.smtpPort}, {"LW_SMTPS_PORT", &s.smtpsPort},
                                       {"LW_MAIL_UID", &s.mailUid},   {"LW_MAIL_GID", &s.mailGid}};
    QHash<QString, QString> passwords;
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0) continue;
        const QString key = line.left(eq);
        QString value = line.mid(eq + 1);
        if (value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')) && value.size() >= 2)
            value = value.mid(1, value.size() - 2);
        if (texts.contains(key)) *texts[key] = value;
        else if (numbers.contains(key)) *numbers[key] = value.toInt();
        else if (key == QLatin1String("LW_TEST_USERS")) s.users = value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        else if (key.startsWith(QLatin1String("LW_PASSWORD_"))) passwords.insert(key.mid(12), value);
    }
    for (const QString& u : s.users)
        s.m_passwords << passwords.value(u);
    if (s.pop3Port == 0 || s.smtpPort == 0 || s.users.isEmpty()) {
        if (reason) *reason = QStringLiteral("env file %1 is incomplete").arg(envFile);
        return std::nullopt;
    }
    return s;
}

QString TestServers::Password(const QString& user) const
{
    const qsizetype i = users.indexOf(user);
    return i < 0 ? QString() : m_passwords.value(i);
}

std::optional<MailboxLease> TestServers::LeaseMailbox(int timeoutMs) const
{
    const QString lockDir = stateDir + QStringLiteral("/locks");
    QDir().mkpath(lockDir);
    QElapsedTimer t;
    t.start();
    do {
        for (const QString& u : users) {
            // Kept for the benchmark and for the one test of a password beginning with "a ".
            if (u == QLatin1String("lwbench") || u == QLatin1String("lwapass")) continue;
            const QByteArray path = (lockDir + QLatin1Char('/') + u + QStringLiteral(".lock")).toLocal8Bit();
            const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
            if (fd < 0) continue;
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                ClearMailbox(u);
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
    const QString md = maildirRoot + QLatin1Char('/') + user + QStringLiteral("/Maildir");
    const QString name = QStringLiteral("%1.P%2Q%3.lwtest") // sorts in delivery order
                             .arg(QDateTime::currentMSecsSinceEpoch())
                             .arg(::getpid())
                             .arg(counter++, 8, 10, QLatin1Char('0'));
    const QByteArray tmp = (md + QStringLiteral("/tmp/") + name).toLocal8Bit();
    QFile f(QString::fromLocal8Bit(tmp));
    QString failure;
    if (!f.open(QIODevice::WriteOnly) || f.write(message) != message.size())
        failure = "cannot write " + f.fileName() + ": " + f.errorString();
    f.close();
    if (failure.isEmpty() && mailUid >= 0 && ::geteuid() == 0 &&
        ::chown(tmp.constData(), static_cast<uid_t>(mailUid), static_cast<gid_t>(mailGid)) != 0)
        failure = "cannot give " + f.fileName() + " to the mail user";
    if (failure.isEmpty() && ::rename(tmp.constData(), (md + QStringLiteral("/new/") + name).toLocal8Bit().constData()) != 0)
        failure = "cannot move " + f.fileName() + " into new/";
    if (error) *error = failure;
    return failure.isEmpty();
}

void TestServers::ClearMailbox(const QString& user) const
{
    for (const char* sub : {"/Maildir/cur", "/Maildir/new", "/Maildir/tmp"}) {
        QDir d(maildirRoot + QLatin1Char('/') + user + QLatin1String(sub));
        for (const QString& n : d.entryList(QDir::Files | QDir::Hidden)) d.remove(n);
    }
}

int TestServers::MailboxCount(const QString& user) const
{
    const QString md = maildirRoot + QLatin1Char('/') + user + QStringLiteral("/Maildir/");
    return static_cast<int>(QDir(md + "cur").entryList(QDir::Files).size() + QDir(md + "new").entryList(QDir::Files).size());
}

QJsonObject TestServers::OAuthCall(const QString& path, const QStringList& form) const
{
    // The system interpreter's HTTP client, so that the test binaries need no network module.
    static const char* const script =
        "import sys, urllib.parse, urllib.request\n"
        "data = urllib.parse.urlencode([tuple(a.split('=', 1)) for a in sys.argv[2:]]).encode() if sys.argv[2:] else None\n"
        "print(urllib.request.urlopen(sys.argv[1], data, timeout=20).read().decode())\n";
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), QStringList{"-c", script, oauthUrl + path} + form);
    if (!p.waitForFinished(30000) || p.exitCode() != 0) return {};
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

QJsonObject TestServers::OAuthStats(const QString& user) const
{
    return OAuthCall("/test/stats?user=" + QString::fromLatin1(QUrl::toPercentEncoding(user)));
}

std::vector<SinkMessage> TestServers::SinkMessages() const
{
    std::vector<SinkMessage> out;
    QDir d(sinkDir);
    for (const QString& json : d.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
        QFile jf(d.filePath(json));
        if (!jf.open(QIODevice::ReadOnly)) continue;
        const QJsonObject o = QJsonDocument::fromJson(jf.readAll()).object();
        SinkMessage m;
        m.file = d.filePath(json.chopped(5) + QStringLiteral(".eml"));
        QFile ef(m.file);
        if (!ef.open(QIODevice::ReadOnly)) continue;
        m.data = ef.readAll();
        m.mailFrom = o.value(QStringLiteral("mail_from")).toString();
        for (const QJsonValue& v : o.value(QStringLiteral("rcpt_tos")).toArray())
            m.rcptTos << v.toString();
        m.authLogin = o.value(QStringLiteral("auth_login")).toString();
        m.authMechanism = o.value(QStringLiteral("auth_mechanism")).toString();
        m.tls = o.value(QStringLiteral("tls")).toBool();
        m.port = o.value(QStringLiteral("port")).toInt();
        out.push_back(std::move(m));
    }
    return out;
}

std::vector<SinkMessage> TestServers::SinkMessagesTo(const QString& recipient) const
{
    std::vector<SinkMessage> out;
    for (SinkMessage& m : SinkMessages()) {
        if (m.rcptTos.contains(recipient, Qt::CaseInsensitive)) out.push_back(std::move(m));
    }
    return out;
}

} // namespace lw::test
