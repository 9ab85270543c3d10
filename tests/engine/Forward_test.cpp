// Forwarding against the loopback SMTP sink: destinations, authentication, log lines, mark.
#include "engine/Forward.h"

#include "engine/EngineTestUtil.h"
#include "engine/mail/Transport.h"
#include "support/TempHome.h"
#include "support/TestServers.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

namespace lw::engine {
namespace {

using test::HasSubject;
using test::LogEntries;

class ForwardTest : public ::testing::Test {
protected:
    // A unique address, so parallel tests never read each other's messages at the sink.
    QString Address(const QString& local) { return local + u'-' + m_token + QStringLiteral("@example.jp"); }

    config::SettingsRecord Settings(const test::TestServers& servers)
    {
        qputenv("LARCHWATCHER_CA_FILE", servers.caFile.toUtf8());
        config::SettingsRecord s;
        s.programFolder = m_home.Folder();
        s.smtpserver = servers.host;
        s.portsmtp = static_cast<std::uint16_t>(servers.smtpPort);
        s.timeoutsmtp = 10;
        s.popserver = QStringLiteral("POP.Example.JP");
        s.popaccount = QStringLiteral("Watcher");
        s.flgtrs = true;
        return s;
    }

    mail::ReceivedMail Message(const QString& subject)
    {
        mail::ReceivedMail m;
        m.file = test::WriteFile(m_home.Path() + QStringLiteral("/mail/work"), QStringLiteral("msg-") + m_token + ".eml",
                                 test::MakeMessage(QStringLiteral("\"送信 太郎\" <taro@example.jp>"),
                                                   QStringLiteral("watch@example.jp"), subject));
        m.subject = subject;
        m.fromAddress = QStringLiteral("taro@example.jp");
        m.toAddress = QStringLiteral("watch@example.jp");
        m.toName = QStringLiteral("監視");
        return m;
    }

    test::TempHome m_home;
    QString m_token = QString::number(QRandomGenerator::global()->generate64(), 36);
};

TEST_F(ForwardTest, DestinationTripleFollowsFixedFlagAndTarget)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    SenderRule rule;
    rule.forwardTo = Address("rule-to");
    rule.forwardCc = Address("rule-cc");
    config::SettingsRecord s = Settings(servers);
    s.trsto = Address("fixed-to");
    s.trsbcc = Address("fixed-bcc");

    struct Case {
        std::int16_t target;
        bool fixed;
        bool expectRule;
    };
    for (const Case c : {Case{2, false, true}, Case{2, true, false}, Case{0, false, false}, Case{1, false, false}}) {
        s.flgtrstgt = c.target;
        s.flgtrsto = c.fixed;
        ASSERT_TRUE(Forward(s, rule, Message(QStringLiteral("宛先")))) << c.target << c.fixed;
    }
    // Each case's mail arrived only at the triple it should use.
    EXPECT_EQ(servers.SinkMessagesTo(Address("rule-to")).size(), 1u);
    EXPECT_EQ(servers.SinkMessagesTo(Address("rule-cc")).size(), 1u);
    EXPECT_EQ(servers.SinkMessagesTo(Address("fixed-to")).size(), 3u);
    EXPECT_EQ(servers.SinkMessagesTo(Address("fixed-bcc")).size(), 3u);
}

TEST_F(ForwardTest, CcAndBccWithoutToStillDeliverAndBccStaysOutOfHeaders)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    config::SettingsRecord s = Settings(servers);
    s.trscc = Address("cc1") + u'\t' + Address("cc2");
    s.trsbcc = Address("hidden");
    SenderRule rule;
    rule.log = true;
    const mail::ReceivedMail m = Message(QStringLiteral("写しのみ"));
    ASSERT_TRUE(Forward(s, rule, m));

    const auto got = servers.SinkMessagesTo(Address("hidden"));
    ASSERT_EQ(got.size(), 1u);
    QStringList envelope = got[0].rcptTos;
    for (QString& r : envelope) r = r.toLower();
    envelope.sort();
    QStringList expected{Address("cc1"), Address("cc2"), Address("hidden")};
    expected.sort();
    EXPECT_EQ(envelope, expected);
    EXPECT_FALSE(got[0].data.contains(Address("hidden").toUtf8())) << "BCC must not be visible";
    EXPECT_EQ(got[0].mailFrom, QStringLiteral("watch@example.jp"));
    EXPECT_TRUE(HasSubject(got[0].data, QStringLiteral("Fw: 写しのみ")));
    // The forward carries this mailbox's mark, so a forward coming back is recognised.
    EXPECT_EQ(mail::ForwardMarks(got[0].file.toStdString()), std::vector<std::string>{"watcher@pop.example.jp"});

    // The success line shows the recipient argument exactly: empty TO, TAB, the path, cc, bcc.
    const QString line = QStringLiteral("送信者別転送[msg-") + m_token + QStringLiteral(".eml]:\t>#xfr ") + m.file +
                         QStringLiteral("\tcc\t") + s.trscc + QStringLiteral("\tbcc\t") + s.trsbcc;
    EXPECT_EQ(LogEntries(s.programFolder), QStringList{line});
}

TEST_F(ForwardTest, NoRecipientOrARefusedLoginWritesOnlyTheErrorLineAndSendsNothing)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    config::SettingsRecord s = Settings(servers);
    SenderRule rule;
    rule.log = true;
    const mail::ReceivedMail none = Message(QStringLiteral("宛先なし"));
    EXPECT_FALSE(Forward(s, rule, none));

    s.trsto = Address("refused-login");
    s.flgauth = true;
    s.authtyp = 3;
    s.smtpaccount = servers.users.first();
    s.smtppassword = QStringLiteral("wrong-password");
    const mail::ReceivedMail refused = Message(QStringLiteral("拒否"));
    EXPECT_FALSE(Forward(s, rule, refused));

    const QStringList log = LogEntries(s.programFolder);
    ASSERT_EQ(log.size(), 2) << log.join(u'\n').toStdString();
    for (int i = 0; i < 2; ++i) {
        const QString head = QStringLiteral("転送エラー[") + (i == 0 ? none : refused).file + QStringLiteral("]:");
        EXPECT_TRUE(log[i].startsWith(head) && log[i].size() > head.size()) << log[i].toStdString();
    }
    EXPECT_TRUE(servers.SinkMessagesTo(Address("refused-login")).empty());
}

TEST_F(ForwardTest, EachAuthenticationTypeUsesItsMechanism)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    const QString user = servers.users.first();
    config::SettingsRecord s = Settings(servers);
    s.smtpaccount = user;
    s.smtppassword = servers.Password(user);
    SenderRule rule;

    struct Case {
        bool flgauth;
        std::int16_t authtyp;
        QString login;
        QString mechanism;  // empty: any mechanism the transport picks
    };
    const std::vector<Case> cases{{true, 1, user, "LOGIN"}, {true, 2, user, "CRAM-MD5"}, {true, 3, user, "PLAIN"},
                                  {true, 0, user, ""},      {true, 7, "", ""},          {false, 1, "", ""}};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        s.flgauth = cases[i].flgauth;
        s.authtyp = cases[i].authtyp;
        s.trsto = Address(QStringLiteral("auth%1").arg(i));
        ASSERT_TRUE(Forward(s, rule, Message(QStringLiteral("認証%1").arg(i)))) << i;
        const auto got = servers.SinkMessagesTo(s.trsto);
        ASSERT_EQ(got.size(), 1u) << i;
        EXPECT_EQ(got[0].authLogin, cases[i].login) << i;
        if (!cases[i].mechanism.isEmpty()) {
            EXPECT_EQ(got[0].authMechanism, cases[i].mechanism) << i;
        }
    }
    // No rule asked for logging, so successes leave no line.
    EXPECT_TRUE(LogEntries(s.programFolder).isEmpty());
}

TEST(ForwardArgumentsTest, ServerSenderAndSubjectArguments)
{
    config::SettingsRecord s;
    s.smtpserver = QStringLiteral("smtp.example.jp");
    s.portsmtp = 25;
    s.timeoutsmtp = 60;
    s.flgtrstgt = 0;
    s.trsto = QStringLiteral("a@example.jp");
    s.flgauth = true;
    s.authtyp = 0;
    s.smtpaccount = QStringLiteral("acc");
    s.smtppassword = QStringLiteral("pw");
    mail::ReceivedMail m;
    m.file = QStringLiteral("/p/mail/work/x.eml");
    m.toName = QStringLiteral("監視 係");
    m.toAddress = QStringLiteral("watch@example.jp");
    const ForwardArguments a = BuildForwardArguments(s, SenderRule{}, m);
    EXPECT_EQ(a.server, QStringLiteral("smtp.example.jp:25:60"));
    EXPECT_EQ(a.recipients, QStringLiteral("a@example.jp\t>#xfr /p/mail/work/x.eml"));
    EXPECT_EQ(a.sender, QStringLiteral("監視 係<watch@example.jp>\tacc:pw"));
    EXPECT_EQ(a.subject, QStringLiteral("Fw: "));
}

} // namespace
} // namespace lw::engine
