// Forwarding: the arguments handed to the transport, and a forward with nobody to send to.
#include "engine/Forward.h"

#include "support/Messages.h"
#include "support/TempHome.h"

#include <QDir>

#include <gtest/gtest.h>

#include <tuple>

namespace lw::engine {
namespace {

// Fields left out of the settings, a rule or a message keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
TEST(ForwardArgumentsTest, ArgumentsFollowTheSettingsAndNobodyToSendToIsAnError)
{
    config::SettingsRecord s{.smtpAccount = "acc", .smtpPassword = "pw", .smtpTimeoutSeconds = 7};
    s.forwardTo = "fixed@x.jp";
    s.forwardBcc = "fixed-bcc@x.jp";
    SenderRule rule{.forwardTo = "rule@x.jp", .forwardCc = "rule-cc@x.jp"};
    mail::ReceivedMail m{.file = "/p/mail/work/x.eml", .toAddress = "watch@example.jp", .toName = "監視 係"};
    const QString ruleTriple = QStringLiteral("rule@x.jp\t>#xfr /p/mail/work/x.eml\tcc\trule-cc@x.jp");
    const QString fixedTriple = QStringLiteral("fixed@x.jp\t>#xfr /p/mail/work/x.eml\tbcc\tfixed-bcc@x.jp");
    using Addresses = std::vector<std::string>;
    using config::ForwardTarget;
    using Auth = config::SmtpAuthMechanism;
    const struct {
        ForwardTarget target;
        bool fixedAddresses, authEnabled;
        Auth mechanism;
        bool byRule;                       // the rule's addresses, else the fixed ones
        const char *account, *sentMechanism; // the password goes with the account
    } cases[] = {{ForwardTarget::RuleListSenders, false, true, Auth::NotChosen, true, "acc", ""},
                 {ForwardTarget::RuleListSenders, true, true, Auth::Login, false, "acc", "LOGIN"},
                 {ForwardTarget::AllMail, false, true, Auth::CramMd5, false, "acc", "CRAM-MD5"},
                 {ForwardTarget::AddressBookSenders, false, true, Auth::Plain, false, "acc", "PLAIN"},
                 {ForwardTarget::AddressBookSenders, false, true, static_cast<Auth>(7), false, "", ""},
                 {ForwardTarget::AddressBookSenders, false, false, Auth::Login, false, "", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.target) << c.fixedAddresses << c.authEnabled
                                        << static_cast<int>(c.mechanism));
        s.forwardTarget = c.target;
        s.useFixedForwardAddresses = c.fixedAddresses;
        s.smtpAuthEnabled = c.authEnabled;
        s.smtpAuthMechanism = c.mechanism;
        const ForwardArguments a = BuildForwardArguments(s, rule, m);
        const mail::SmtpRequest& r = a.request;
        EXPECT_TRUE(a.hasRecipient);
        EXPECT_EQ(a.recipients, c.byRule ? ruleTriple : fixedTriple);
        EXPECT_EQ(r.to, c.byRule ? Addresses{"rule@x.jp"} : Addresses{"fixed@x.jp"});
        EXPECT_EQ(r.cc, c.byRule ? Addresses{"rule-cc@x.jp"} : Addresses{});
        EXPECT_EQ(r.bcc, c.byRule ? Addresses{} : Addresses{"fixed-bcc@x.jp"});
        EXPECT_EQ(r.account, c.account);
        EXPECT_EQ(r.password, *c.account ? "pw" : "");
        EXPECT_EQ(r.mechanism, c.sentMechanism);
        EXPECT_EQ(r.timeoutSeconds, 7);
        EXPECT_TRUE(r.from.name == "監視 係" && r.from.address == "watch@example.jp");
    }
    // Mail without a recipient address (Bcc, lists, "undisclosed-recipients:;") is sent by the
    // SMTP account, else the POP account, whichever is an address, else by the null reverse-path.
    s.smtpAuthEnabled = false;
    mail::ReceivedMail undisclosed = m;
    undisclosed.toName = QStringLiteral("undisclosed-recipients");
    const std::tuple<QString, QString, QString, QString> senders[] = {
        {"", "smtp@x.jp", "box@x.jp", "<smtp@x.jp>"},  {" ", "acc", "box@x.jp", "<box@x.jp>"},
        {"", "acc", "box", "null reverse-path"},        {"undisclosed-recipients:;", "", "", "null reverse-path"},
        {"", "a<b@x.jp>", "box@x.jp", "<box@x.jp>"}};
    for (const auto& [toAddress, smtpAccount, popAccount, sender] : senders) {
        undisclosed.toAddress = toAddress;
        s.smtpAccount = smtpAccount;
        s.popAccount = popAccount;
        const mail::SmtpRequest r = BuildForwardArguments(s, rule, undisclosed).request;
        EXPECT_EQ(r.nullReversePath ? std::string("null reverse-path") : "<" + r.from.address + ">", sender.toStdString())
            << smtpAccount.toStdString();
        EXPECT_EQ(r.from.name, "") << smtpAccount.toStdString();
    }
    s.forwardTo = QStringLiteral("\t ");
    s.forwardBcc.clear();
    EXPECT_FALSE(BuildForwardArguments(s, rule, m).hasRecipient) << "a list of only blanks names nobody";
    s.forwardCc = QStringLiteral("cc@x.jp");
    EXPECT_TRUE(BuildForwardArguments(s, rule, m).hasRecipient) << "a copy alone is someone to send to";
    s.forwardCc.clear();
    // Nobody to send to: only the error line, whatever the rule's log flag says.
    test::TempHome home;
    s.programFolder = home.Folder();
    rule.log = true;
    EXPECT_FALSE(Forward(s, rule, m));
    EXPECT_EQ(test::LogEntries(home.Folder()),
              QStringList{"転送エラー[/p/mail/work/x.eml]:転送先アドレスが指定されていません。"});

    // A secret that can be neither read nor made: a line says so, and the forward is tried unmarked.
    ASSERT_TRUE(QDir(home.Folder()).mkdir(QStringLiteral("forward-mark.key")));
    s.forwardTo = QStringLiteral("a@x.jp");
    s.smtpServer = QStringLiteral("127.0.0.1");
    s.smtpPort = 9; // nothing listens: refused at once
    EXPECT_FALSE(Forward(s, rule, m));
    const QStringList lines = test::LogEntries(home.Folder());
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("転送マークエラー[/p/mail/work/x.eml]:転送マークの鍵を読み書きできないため"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("転送エラー[/p/mail/work/x.eml]:"))) << lines[2].toStdString();
}

} // namespace
} // namespace lw::engine
