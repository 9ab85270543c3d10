// Forwarding: the transport arguments, and sends against the loopback SMTP sink.
#include "engine/Forward.h"

#include "engine/EngineTestUtil.h"
#include "engine/mail/Transport.h"
#include "support/TempHome.h"
#include "support/TestServers.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <tuple>

namespace lw::engine {
namespace {

using test::LogEntries;

TEST(ForwardArgumentsTest, DestinationsFollowFixedFlagAndTargetCredentialsTheAuthTypeAndNobodyIsAnError)
{
    config::SettingsRecord s;
    s.smtpserver = QStringLiteral("smtp.example.jp");
    s.portsmtp = 25;
    s.timeoutsmtp = 60;
    s.trsto = QStringLiteral("fixed@x.jp");
    s.trsbcc = QStringLiteral("fixed-bcc@x.jp");
    s.smtpaccount = QStringLiteral("acc");
    s.smtppassword = QStringLiteral("pw");
    SenderRule rule;
    rule.forwardTo = QStringLiteral("rule@x.jp");
    rule.forwardCc = QStringLiteral("rule-cc@x.jp");
    mail::ReceivedMail m;
    m.file = QStringLiteral("/p/mail/work/x.eml");
    m.toName = QStringLiteral("監視 係");
    m.toAddress = QStringLiteral("watch@example.jp");
    m.subject = QStringLiteral("件名");

    const QString ruleTriple = QStringLiteral("rule@x.jp\t>#xfr /p/mail/work/x.eml\tcc\trule-cc@x.jp");
    const QString fixedTriple = QStringLiteral("fixed@x.jp\t>#xfr /p/mail/work/x.eml\tbcc\tfixed-bcc@x.jp");
    // (flgtrstgt, flgtrsto, flgauth, authtyp, recipients, credentials after the sender)
    const std::tuple<std::int16_t, bool, bool, std::int16_t, QString, QString> cases[] = {
        {2, false, true, 0, ruleTriple, "\tacc:pw"},        {2, true, true, 1, fixedTriple, "\tacc:pw\tLOGIN"},
        {0, false, true, 2, fixedTriple, "\tacc:pw\tCRAM-MD5"}, {1, false, true, 3, fixedTriple, "\tacc:pw\tPLAIN"},
        {1, false, true, 7, fixedTriple, ""},              {1, false, false, 1, fixedTriple, ""}};
    for (const auto& [target, fixed, auth, type, recipients, credentials] : cases) {
        s.flgtrstgt = target;
        s.flgtrsto = fixed;
        s.flgauth = auth;
        s.authtyp = type;
        const ForwardArguments a = BuildForwardArguments(s, rule, m);
        EXPECT_EQ(a.recipients, recipients) << target << fixed;
        EXPECT_EQ(a.sender, QStringLiteral("監視 係<watch@example.jp>") + credentials) << type;
        EXPECT_TRUE(a.hasRecipient);
        EXPECT_EQ(a.server, QStringLiteral("smtp.example.jp:25:60"));
        EXPECT_EQ(a.subject, QStringLiteral("Fw: 件名"));
    }
    s.trsto = QStringLiteral("\t ");
    s.trsbcc.clear();
    EXPECT_FALSE(BuildForwardArguments(s, rule, m).hasRecipient) << "a list of only blanks names nobody";
    // Nobody to send to: only the error line, whatever the rule's log flag says.
    test::TempHome home;
    s.programFolder = home.Folder();
    rule.log = true;
    EXPECT_FALSE(Forward(s, rule, m));
    EXPECT_EQ(LogEntries(home.Folder()), QStringList{QStringLiteral("転送エラー[/p/mail/work/x.eml]:転送先アドレスが指定されていません。")});
}

TEST(ForwardTest, CcAndBccWithoutToStillDeliverAndBccStaysOutOfHeaders)
{
    LW_REQUIRE_TEST_SERVERS(servers);
    qputenv("LARCHWATCHER_CA_FILE", servers.caFile.toUtf8());
    test::TempHome home;
    // Unique addresses, so parallel tests never read each other's messages at the sink.
    const QString token = QString::number(QRandomGenerator::global()->generate64(), 36);
    const auto address = [&token](const char* local) { return QString::fromLatin1(local) + u'-' + token + QStringLiteral("@example.jp"); };
    config::SettingsRecord s;
    s.programFolder = home.Folder();
    s.smtpserver = servers.host;
    s.portsmtp = static_cast<std::uint16_t>(servers.smtpPort);
    s.timeoutsmtp = 10;
    s.popserver = QStringLiteral("POP.Example.JP");
    s.popaccount = QStringLiteral("Watcher");
    s.flgtrs = true;
    s.trscc = address("cc1") + u'\t' + address("cc2");
    s.trsbcc = address("hidden");
    SenderRule rule;
    rule.log = true;
    mail::ReceivedMail m;
    m.file = test::WriteFile(home.Path() + QStringLiteral("/mail/work"), QStringLiteral("msg.eml"),
                             test::MakeMessage(QStringLiteral("\"送信 太郎\" <taro@example.jp>"), QStringLiteral("watch@example.jp"), QStringLiteral("写しのみ")));
    m.subject = QStringLiteral("写しのみ");
    m.toAddress = QStringLiteral("watch@example.jp");
    ASSERT_TRUE(Forward(s, rule, m));

    const auto got = servers.SinkMessagesTo(address("hidden"));
    ASSERT_EQ(got.size(), 1u);
    QStringList envelope = got[0].rcptTos;
    for (QString& r : envelope) r = r.toLower();
    envelope.sort();
    EXPECT_EQ(envelope, (QStringList{address("cc1"), address("cc2"), address("hidden")}));
    EXPECT_FALSE(got[0].data.contains(address("hidden").toUtf8())) << "BCC must not be visible";
    EXPECT_EQ(got[0].mailFrom, QStringLiteral("watch@example.jp"));
    EXPECT_TRUE(test::HasSubject(got[0].data, QStringLiteral("Fw: 写しのみ")));
    // The forward carries this mailbox's mark, so a forward coming back is recognised.
    EXPECT_EQ(mail::ForwardMarks(got[0].file.toStdString()), std::vector<std::string>{"watcher@pop.example.jp"});

    // The success line shows the recipient argument exactly: empty TO, TAB, the path, cc, bcc.
    EXPECT_EQ(LogEntries(s.programFolder), QStringList{QStringLiteral("送信者別転送[msg.eml]:\t>#xfr ") + m.file + QStringLiteral("\tcc\t") +
                                                       s.trscc + QStringLiteral("\tbcc\t") + s.trsbcc});
}

} // namespace
} // namespace lw::engine
