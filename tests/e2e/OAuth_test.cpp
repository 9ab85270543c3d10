// OAuth2 logins of the real program against the loopback servers: Dovecot and the SMTP sink
// check each token at the authorization server, whose counters show every login and refresh.
#include "e2e/HomeFixture.h"

#include "config/TokenStore.h"

#include <QDateTime>

namespace lw::test {
namespace {

class OAuthTest : public HomeFixture {
  protected:
    void SetUp() override
    {
        HomeFixture::SetUp();
        if (IsSkipped()) return;
        if (Servers().oauthUrl.isEmpty()) GTEST_SKIP() << "the test servers run no OAuth2 server";
        ASSERT_FALSE(Servers().OAuthCall("/test/reset", {"user=" + User()}).isEmpty());
        // SMTP logs in as the same account.
        Set({{"flgauth", "1"}, {"poppassword", "not-the-password"}, {"smtppassword", "not-the-password"}});
        Forwarding(Address("copy"));
    }
    void WriteOAuthSettings() const
    {
        const QByteArray url = Servers().oauthUrl.toUtf8();
        WriteSettings("[oauth2]\nprovider=custom\nclientid=lw-test-client\nauthurl=" + url +
                      "/authorize\ntokenurl=" + url + "/token\nscope=pop smtp\n");
    }
    // Tokens as a sign-in leaves them, valid for lifetime seconds.
    void SignIn(int lifetime) const
    {
        const QJsonObject t =
            Servers().OAuthCall("/test/issue", {"user=" + User(), "expires_in=" + QString::number(lifetime)});
        config::TokenRecord record;
        record.accessToken = t.value("access_token").toString();
        record.refreshToken = t.value("refresh_token").toString();
        record.expiresAt = QDateTime::currentSecsSinceEpoch() + lifetime;
        ASSERT_FALSE(record.accessToken.isEmpty());
        const base::Status written = config::TokenFile(Home()).Write(config::RecordToJson(record));
        ASSERT_TRUE(written.Ok()) << written.ErrorText().toStdString();
    }
    int Stat(const char* counter) const { return Servers().OAuthStats(User()).value(counter).toInt(); }
    int RefusedLogins() const { return Stat("introspections") - Stat("accepted"); }
};

TEST_F(OAuthTest, TokensAreRenewedBeforeTheyExpireAndOnceWhenTheServerRefusesOne)
{
    WriteOAuthSettings();
    SignIn(120); // less than the margin: renewed before the first login

    DeliverJp("差出人", Address("a"), "一通目");
    PollOnce();
    EXPECT_EQ(Subjects(), QStringList{"一通目"});
    EXPECT_EQ(Stat("refreshes"), 1);
    EXPECT_EQ(Stat("accepted"), 2) << "POP3 and SMTP logged in with the renewed token";
    EXPECT_EQ(RefusedLogins(), 0);
    const auto sent = Servers().SinkMessagesTo(Address("copy"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent.front().authMechanism == "OAUTHBEARER" || sent.front().authMechanism == "XOAUTH2")
        << sent.front().authMechanism.toStdString();
    EXPECT_EQ(sent.front().authLogin, User());
    EXPECT_TRUE(sent.front().tls);
    // Read and write for the owner alone (ReadOwner | WriteOwner, whatever the user bits say).
    EXPECT_EQ(QFile::permissions(File(config::kTokenFileName)).toInt() & ~0x600, 0x6000);

    // The server refuses the token: one renewal, one more login, and the forward uses it too.
    ASSERT_FALSE(Servers().OAuthCall("/test/revoke", {"user=" + User(), "what=access"}).isEmpty());
    DeliverJp("差出人", Address("a"), "三通目");
    PollOnce();
    EXPECT_EQ(Subjects(), (QStringList{"一通目", "三通目"}));
    EXPECT_EQ(Stat("refreshes"), 2);
    EXPECT_EQ(RefusedLogins(), 1);
    EXPECT_EQ(Servers().SinkMessagesTo(Address("copy")).size(), 2u);

    // A token is never sent without TLS: with STLS stripped on the way, no AUTH goes out.
    PortHelper relay("tls_relay.py", {"strip", QString::number(Servers().pop3Port), File("pop3.seen")});
    ASSERT_GT(relay.port, 0);
    Set("portpop", relay.Port());
    WriteOAuthSettings();
    DeliverJp("差出人", Address("a"), "四通目");
    PollOnce(1);
    const QString token = QString(ReadFile(File(config::kTokenFileName))).section('"', 3, 3);
    ExpectNothingInClear(File("pop3.seen"), "CAPA", token);
}

TEST_F(OAuthTest, ARevokedRefreshTokenStopsEveryLoginUntilTheOperatorSignsInAgain)
{
    WriteOAuthSettings();
    SignIn(3600);
    ASSERT_FALSE(Servers().OAuthCall("/test/revoke", {"user=" + User(), "what=all"}).isEmpty());
    DeliverJp("差出人", Address("a"), "一通目");

    Run run = PollOnce(1);
    EXPECT_TRUE(run.err.contains("もう一度サインインしてください")) << run.err.toStdString();
    EXPECT_EQ(RefusedLogins(), 1);
    EXPECT_EQ(Stat("refused_refreshes"), 1);
    const auto refusals = [this] { return LogTexts().filter("更新トークンが拒否された").size(); };
    EXPECT_EQ(refusals(), 1);

    // Later runs log in nowhere and ask the endpoint nothing; the log says it once.
    for (int i = 0; i < 2; ++i) {
        run = PollOnce(1);
        EXPECT_TRUE(run.err.contains("もう一度サインインしてください")) << run.err.toStdString();
    }
    EXPECT_EQ(Stat("introspections"), 1);
    EXPECT_EQ(Stat("refused_refreshes"), 1);
    EXPECT_EQ(refusals(), 1);
    EXPECT_TRUE(Subjects().isEmpty());
    EXPECT_EQ(Servers().MailboxCount(User()), 1);

    // Signed in again, the message comes.
    SignIn(3600);
    PollOnce();
    EXPECT_EQ(Subjects(), QStringList{"一通目"});
}

} // namespace
} // namespace lw::test
