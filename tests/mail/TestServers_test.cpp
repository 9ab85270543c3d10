// The loopback servers answer real clients: Python's poplib and smtplib, independent of our
// transport, so a failure here points at tools/test-servers and not at the code under test.
#include "support/TestServers.h"

#include <QDateTime>
#include <QProcess>

#include <unistd.h>

#include <gtest/gtest.h>

TEST(TestServers, Pop3LoginsAndTheSinkRecordsEachSmtpLogin)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    auto box = servers.LeaseMailbox();
    ASSERT_TRUE(box);
    for (int i = 0; i < 3; ++i) {
        const QByteArray n = QByteArray::number(i);
        ASSERT_TRUE(servers.Deliver(box->User(), "Subject: smoke " + n + "\r\n\r\nline\r\n.dot line\r\n"));
    }
    const QString tag = QString::number(QDateTime::currentMSecsSinceEpoch()) + QString::number(::getpid());
    const QString smtpUser = servers.users.first();
    const QString script = QStringLiteral(R"(
import poplib, smtplib, ssl, sys
host, pport, psport, sport, ssport, ca, user, pw, suser, spw, tag = sys.argv[1:]
ctx = ssl.create_default_context(cafile=ca)
p = poplib.POP3(host, int(pport)); p.apop(user, pw); print("apop", len(p.uidl()[1])); p.quit()
p = poplib.POP3(host, int(pport)); p.stls(ctx); p.user(user); p.pass_(pw)
print("stls", b"\n".join(p.retr(2)[1]).decode()); p.quit()
p = poplib.POP3_SSL("localhost", int(psport), context=ctx); p.user(user); p.pass_(pw); print("pop3s", p.stat()[0]); p.quit()
for mech in ["LOGIN", "PLAIN", "CRAM-MD5"]:
    s = smtplib.SMTP(host, int(sport)); s.starttls(context=ctx); s.ehlo()
    s.user, s.password = suser, spw
    s.auth(mech, getattr(s, "auth_" + mech.lower().replace("-", "_")))
    s.sendmail("from@example.jp", ["%s-%s@example.jp" % (mech.lower(), tag)], b"Subject: m\r\n\r\nbody\r\n")
    s.quit()
s = smtplib.SMTP_SSL("localhost", int(ssport), context=ctx); s.login(suser, spw)
s.sendmail("from@example.jp", ["implicit-%s@example.jp" % tag], b"Subject: i\r\n\r\nx\r\n"); s.quit()
)");
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"), script, servers.host, QString::number(servers.pop3Port),
             QString::number(servers.pop3sPort), QString::number(servers.smtpPort),
             QString::number(servers.smtpsPort), servers.caFile, box->User(), box->Password(), smtpUser,
             servers.Password(smtpUser), tag});
    ASSERT_TRUE(p.waitForFinished(30000));
    const QString out = QString::fromUtf8(p.readAll());
    ASSERT_EQ(p.exitCode(), 0) << out.toStdString();
    for (const char* line : {"apop 3", "stls Subject: smoke 1\n\nline\n.dot line", "pop3s 3"})
        EXPECT_TRUE(out.contains(QLatin1String(line))) << line << "\n" << out.toStdString();

    for (const char* mech : {"LOGIN", "PLAIN", "CRAM-MD5", ""}) {
        const QString local = *mech ? QString::fromLatin1(mech).toLower() : QStringLiteral("implicit");
        const auto got =
            servers.SinkMessagesTo(local + QLatin1Char('-') + tag + QStringLiteral("@example.jp"));
        ASSERT_EQ(got.size(), 1u) << mech;
        if (*mech) {
            EXPECT_EQ(got[0].authMechanism, QLatin1String(mech));
        }
        EXPECT_EQ(got[0].authLogin, smtpUser);
        EXPECT_TRUE(got[0].tls);
        EXPECT_EQ(got[0].port, *mech ? servers.smtpPort : servers.smtpsPort);
        EXPECT_EQ(got[0].mailFrom, QStringLiteral("from@example.jp"));
        EXPECT_EQ(got[0].rcptTos.size(), 1);
    }
}
