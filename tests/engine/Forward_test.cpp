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
    s.smtpServer = QStringLiteral("smtp.example.jp");
    s.smtpPort = 25;
    s.smtpTimeoutSeconds = 60;
    s.forwardTo = QStringLiteral("fixed@x.jp");
    s.forwardBcc = QStringLiteral("fixed-bcc@x.jp");
    s.smtpAccount = QStringLiteral("acc");
    s.smtpPassword = QStringLiteral("pw");
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
    const std::string ruleLists = "rule@x.jp|rule-cc@x.jp|", fixedLists = "fixed@x.jp||fixed-bcc@x.jp";
    // (target, fixed addresses, SMTP auth, mechanism, logged recipients, to|cc|bcc, account:password/mechanism)
    using config::ForwardTarget;
    using Auth = config::SmtpAuthMechanism;
    const std::tuple<ForwardTarget, bool, bool, Auth, QString, std::string, std::string> cases[] = {
        {ForwardTarget::RuleListSenders, false, true, Auth::NotChosen, ruleTriple, ruleLists, "acc:pw/"},
        {ForwardTarget::RuleListSenders, true, true, Auth::Login, fixedTriple, fixedLists, "acc:pw/LOGIN"},
        {ForwardTarget::AllMail, false, true, Auth::CramMd5, fixedTriple, fixedLists, "acc:pw/CRAM-MD5"},
        {ForwardTarget::AddressBookSenders, false, true, Auth::Plain, fixedTriple, fixedLists, "acc:pw/PLAIN"},
        {ForwardTarget::AddressBookSenders, false, true, static_cast<Auth>(7), fixedTriple, fixedLists, ":/"},
        {ForwardTarget::AddressBookSenders, false, false, Auth::Login, fixedTriple, fixedLists, ":/"}};
    const auto join = [](const std::vector<std::string>& list) {
        std::string text;
        for (const std::string& a : list) text += (text.empty() ? "" : ",") + a;
        return text;
    };
    for (const auto& [target, fixed, auth, type, recipients, lists, credentials] : cases) {
        s.forwardTarget = target;
        s.useFixedForwardAddresses = fixed;
        s.smtpAuthEnabled = auth;
        s.smtpAuthMechanism = type;
        const ForwardArguments a = BuildForwardArguments(s, rule, m);
        const mail::SmtpRequest& r = a.request;
        EXPECT_EQ(a.recipients, recipients) << static_cast<int>(target) << fixed;
        EXPECT_EQ(join(r.to) + "|" + join(r.cc) + "|" + join(r.bcc), lists) << static_cast<int>(target) << fixed;
        EXPECT_EQ(r.contentPath, "/p/mail/work/x.eml");
        EXPECT_EQ(r.from.name + "<" + r.from.address + ">", "監視 係<watch@example.jp>");
        EXPECT_EQ(r.account + ":" + r.password + "/" + r.mechanism, credentials) << static_cast<int>(type);
        EXPECT_TRUE(a.hasRecipient);
        EXPECT_EQ(r.host + ":" + std::to_string(r.port) + ":" + std::to_string(r.timeoutSeconds), "smtp.example.jp:25:60");
        EXPECT_EQ(r.subject, "Fw: 件名");
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
        EXPECT_EQ(r.nullReversePath ? std::string("null reverse-path") : r.from.name + "<" + r.from.address + ">",
                  sender.toStdString())
            << smtpAccount.toStdString();
    }
    s.forwardTo = QStringLiteral("\t ");
    s.forwardBcc.clear();
    EXPECT_FALSE(BuildForwardArguments(s, rule, m).hasRecipient) << "a list of only blanks names nobody";
    // Nobody to send to: only the error line, whatever the rule's log flag says.
    test::TempHome home;
    s.programFolder = home.Folder();
    rule.log = true;
    EXPECT_FALSE(Forward(s, rule, m));
    EXPECT_EQ(LogEntries(home.Folder()), QStringList{QStringLiteral("転送エラー[/p/mail/work/x.eml]:転送先アドレスが指定されていません。")});

    // A secret that can be neither read nor made: a line says so, and the forward is tried unmarked.
    ASSERT_TRUE(QDir(home.Folder()).mkdir(QStringLiteral("forward-mark.key")));
    s.forwardTo = QStringLiteral("a@x.jp");
    s.smtpServer = QStringLiteral("127.0.0.1");
    s.smtpPort = 9; // nothing listens: refused at once
    EXPECT_FALSE(Forward(s, rule, m));
    const QStringList lines = LogEntries(home.Folder());
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("転送マークエラー[/p/mail/work/x.eml]:転送マークの鍵を読み書きできないため"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith(QStringLiteral("転送エラー[/p/mail/work/x.eml]:"))) << lines[2].toStdString();
}

} // namespace
} // namespace lw::engine
