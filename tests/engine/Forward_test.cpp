// Forwarding: the arguments handed to the transport, and a forward with nobody to send to.
#include "engine/Forward.h"

#include "engine/EngineTestUtil.h"
#include "support/TempHome.h"

#include <QDir>

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
    // Mail without a recipient address (Bcc, lists, "undisclosed-recipients:;") is sent by the
    // SMTP account, else the POP account, whichever is an address, else by the null reverse-path.
    s.flgauth = false;
    mail::ReceivedMail undisclosed = m;
    undisclosed.toName = QStringLiteral("undisclosed-recipients");
    const std::tuple<QString, QString, QString, QString> senders[] = {
        {"", "smtp@x.jp", "box@x.jp", "<smtp@x.jp>"},  {" ", "acc", "box@x.jp", "<box@x.jp>"},
        {"", "acc", "box", "<>"},                       {"undisclosed-recipients:;", "", "", "<>"},
        {"", "a<b@x.jp>", "box@x.jp", "<box@x.jp>"}};
    for (const auto& [toAddress, smtpAccount, popAccount, sender] : senders) {
        undisclosed.toAddress = toAddress;
        s.smtpaccount = smtpAccount;
        s.popaccount = popAccount;
        EXPECT_EQ(BuildForwardArguments(s, rule, undisclosed).sender, sender) << smtpAccount.toStdString();
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

    // A secret that can be neither read nor made: a line says so, and the forward is tried unmarked.
    ASSERT_TRUE(QDir(home.Folder()).mkdir(QStringLiteral("forward-mark.key")));
    s.trsto = QStringLiteral("a@x.jp");
    s.smtpserver = QStringLiteral("127.0.0.1");
    s.portsmtp = 9; // nothing listens: refused at once
    EXPECT_FALSE(Forward(s, rule, m));
    const QStringList lines = LogEntries(home.Folder());
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("転送マークエラー[/p/mail/work/x.eml]:転送マークの鍵を読み書きできないため"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("転送エラー[/p/mail/work/x.eml]:"))) << lines[2].toStdString();
}

} // namespace
} // namespace lw::engine
