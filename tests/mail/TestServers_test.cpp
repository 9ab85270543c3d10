// The loopback servers answer real clients: Python's poplib and smtplib, independent of our
// transport, so a failure here points at tools/test-servers and not at the code under test.
#include "support/TestServers.h"

#include <QDateTime>
#include <QProcess>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Runs a Python snippet with the system interpreter; returns its exit code, output in *out.
int RunPython(const QString& script, const QStringList& args, QString* out)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral("-c"), script} + args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        *out = QStringLiteral("timed out");
        return -1;
    }
    *out = QString::fromUtf8(p.readAll());
    return p.exitCode();
}

} // namespace

TEST(TestServers, Pop3LoginsAndListing)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    auto box = servers.LeaseMailbox();
    ASSERT_TRUE(box);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(servers.Deliver(box->User(), QByteArray("Subject: smoke ") + QByteArray::number(i) +
                                                     "\r\n\r\nline\r\n.dot line\r\n"));
    }
    const QString script = QStringLiteral(R"(
import poplib, ssl, sys
host, port, sport, ca, user, pw = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5], sys.argv[6]
ctx = ssl.create_default_context(cafile=ca)
p = poplib.POP3(host, port); p.user(user); p.pass_(pw); print("user", p.stat()[0]); p.quit()
p = poplib.POP3(host, port); p.apop(user, pw); print("apop", len(p.uidl()[1])); p.quit()
p = poplib.POP3(host, port); p.stls(ctx); p.user(user); p.pass_(pw)
print("stls", b"\n".join(p.retr(2)[1]).decode()); p.quit()
p = poplib.POP3_SSL("localhost", sport, context=ctx); p.user(user); p.pass_(pw); print("pop3s", p.stat()[0]); p.quit()
try:
    p = poplib.POP3(host, port); p.user(user); p.pass_(pw + "x"); print("wrong accepted")
except poplib.error_proto as e:
    print("wrong refused")
)");
    QString out;
    const int rc =
        RunPython(script,
                  {servers.host, QString::number(servers.pop3Port), QString::number(servers.pop3sPort),
                   servers.caFile, box->User(), box->Password()},
                  &out);
    ASSERT_EQ(rc, 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("user 3"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("apop 3"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("stls Subject: smoke 1\n\nline\n.dot line")))
        << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("pop3s 3"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("wrong refused"))) << out.toStdString();
}

TEST(TestServers, SmtpSinkStoresEachAuthMechanismAndInjectsFaults)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    const QString tag = QString::number(QDateTime::currentMSecsSinceEpoch()) + QString::number(::getpid());
    const QString user = servers.users.first();
    const QString script = QStringLiteral(R"(
import smtplib, ssl, sys
host, port, sport, ca, user, pw, tag = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5], sys.argv[6], sys.argv[7]
ctx = ssl.create_default_context(cafile=ca)
for mech in ["LOGIN", "PLAIN", "CRAM-MD5"]:
    s = smtplib.SMTP(host, port); s.starttls(context=ctx); s.ehlo()
    s.user, s.password = user, pw
    s.auth(mech, getattr(s, "auth_" + mech.lower().replace("-", "_")))
    s.sendmail("from@example.jp", ["%s-%s@example.jp" % (mech.lower(), tag)], ("Subject: %s\r\n\r\nbody\r\n" % mech).encode())
    s.quit()
s = smtplib.SMTP_SSL("localhost", sport, context=ctx); s.login(user, pw)
refused = s.sendmail("from@example.jp", ["implicit-%s@example.jp" % tag, "refuse-rcpt-%s@example.jp" % tag], b"Subject: i\r\n\r\nx\r\n")
print("refused", list(refused)); s.quit()
try:
    s = smtplib.SMTP(host, port); s.login(user, pw + "x"); print("wrong accepted")
except smtplib.SMTPAuthenticationError:
    print("wrong refused")
try:
    s = smtplib.SMTP(host, port); s.sendmail("f@x", ["refuse-data-%s@x" % tag], b"Subject: r\r\n\r\nx\r\n"); print("data accepted")
except smtplib.SMTPDataError as e:
    print("data refused", e.smtp_code)
)");
    QString out;
    const int rc =
        RunPython(script,
                  {servers.host, QString::number(servers.smtpPort), QString::number(servers.smtpsPort),
                   servers.caFile, user, servers.Password(user), tag},
                  &out);
    ASSERT_EQ(rc, 0) << out.toStdString();
    for (const char* mech : {"LOGIN", "PLAIN", "CRAM-MD5"}) {
        const auto got = servers.SinkMessagesTo(QString::fromLatin1(mech).toLower() + QLatin1Char('-') + tag +
                                                QStringLiteral("@example.jp"));
        ASSERT_EQ(got.size(), 1u) << mech;
        EXPECT_EQ(got[0].authMechanism, QLatin1String(mech));
        EXPECT_EQ(got[0].authLogin, user);
        EXPECT_TRUE(got[0].tls);
        EXPECT_EQ(got[0].mailFrom, QStringLiteral("from@example.jp"));
        EXPECT_TRUE(got[0].data.contains("Subject: " + QByteArray(mech) + "\r\n\r\nbody\r\n"));
    }
    const auto implicit =
        servers.SinkMessagesTo(QStringLiteral("implicit-") + tag + QStringLiteral("@example.jp"));
    ASSERT_EQ(implicit.size(), 1u);
    EXPECT_TRUE(implicit[0].tls);
    EXPECT_EQ(implicit[0].port, servers.smtpsPort);
    EXPECT_EQ(implicit[0].rcptTos.size(), 1);
    EXPECT_TRUE(out.contains(QStringLiteral("refused ['refuse-rcpt-"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("wrong refused"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("data refused 554"))) << out.toStdString();
}
