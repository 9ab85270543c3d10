#include "command/ApplyCommand.h"

#include "command/CommandFixture.h"

#include <QDir>

using lw::command::ApplyCommand;
using lw::command::CommandParams;
using lw::command::ParseCommandParams;

namespace {

class Apply : public lw::test::CommandFixture {
  protected:
    bool Run(const QString& block, QString* errorOut = nullptr)
    {
        CommandParams params;
        ParseCommandParams(params, block);
        QString error;
        const bool ok = ApplyCommand(Record(), params, *copy, error);
        if (errorOut) *errorOut = error;
        return ok;
    }
};

} // namespace

TEST_F(Apply, ForwardingFieldsChangeAndEverySettingIsSaved)
{
    copy->SetText("popserver", "typed.example"); // typed by the operator, never saved
    copy->SetText("trsto", "old@x.jp");
    copy->SetText("trscc", "oldcc@x.jp");
    copy->SetState("flgtrsto", 1);

    ASSERT_TRUE(Run("trsflg= TRUE ;1;yes;trsbcc=  B1@X.JP ;b2@x.jp;"));
    EXPECT_EQ(copy->State("flgtrs"), 1);
    EXPECT_EQ(copy->State("flgtrstgt"), 1);
    EXPECT_EQ(copy->State("flgtrsto"), 0); // "yes" is not the flag word
    EXPECT_EQ(copy->Text("trsto"), "");    // lists the command did not carry are emptied
    EXPECT_EQ(copy->Text("trscc"), "");
    EXPECT_EQ(copy->Text("trsbcc"), "B1@X.JP; b2@x.jp");

    const QByteArray file = SettingsFile();
    for (const char* line : {"\npopserver=typed.example\n", "\nflgtrs=1\n", "\nflgtrstgt=1\n",
                             "\nflgtrsto=0\n", "\ntrsto=\n", "\ntrscc=\n", "\ntrsbcc=B1@X.JP; b2@x.jp\n"})
        EXPECT_TRUE(file.contains(line)) << line << "\n" << file.data();
    EXPECT_EQ(Record().trsbcc, "b1@x.jp\tb2@x.jp");
}

TEST_F(Apply, SwitchesAreLeftAloneWhenAbsentOrUnusable)
{
    copy->SetState("flgtrs", 1);
    copy->SetState("flgtrstgt", 2);
    copy->SetState("flgtrsto", 1);
    for (const char* target : {"3", "x", "1.5", "-1", "99999999999"}) {
        ASSERT_TRUE(Run(QStringLiteral("trsflg=;%1;trsto=t@x.jp;").arg(target))) << target;
        EXPECT_EQ(copy->State("flgtrstgt"), 2) << target;
        EXPECT_EQ(copy->State("flgtrs"), 1) << target;
        EXPECT_EQ(copy->State("flgtrsto"), 1) << target;
        EXPECT_EQ(copy->Text("trsto"), "t@x.jp") << target; // the command went on
    }
    ASSERT_TRUE(Run("trsflg=false;0;;"));
    EXPECT_EQ(copy->State("flgtrs"), 0);
    EXPECT_EQ(copy->State("flgtrstgt"), 0);
    EXPECT_EQ(copy->State("flgtrsto"), 1);
}

TEST_F(Apply, SenderFlagsFindOrAddTheRule)
{
    Sql({"INSERT INTO tblList (アドレス, 名前, 印刷, メール保存, ボックスクリア, ログ出力, 受信拒否, "
         "メール転送) "
         "VALUES ('Known@X.JP', '既知', 0, 1, 1, 1, 1, 1)"});

    // Existing rule, found without regard to letter case: true, empty, false, and nothing more.
    ASSERT_TRUE(Run("listflg= known@x.jp ;true;;false;"));
    auto rule = Rule("known@x.jp");
    ASSERT_TRUE(rule);
    EXPECT_EQ((*rule)["アドレス"], "Known@X.JP");
    EXPECT_EQ((*rule)["名前"], "既知");
    EXPECT_EQ((*rule)["印刷"], 1);
    EXPECT_EQ((*rule)["メール保存"], 1);
    EXPECT_EQ((*rule)["ボックスクリア"], 0);
    EXPECT_EQ((*rule)["ログ出力"], 1);
    EXPECT_EQ((*rule)["受信拒否"], 1);
    EXPECT_EQ(RuleCount(), 1);

    // New rule: the fifth value is the log flag, the sixth the reject flag; words other than
    // true and false keep the table defaults.
    ASSERT_TRUE(Run("listflg=o'neil@y.jp;maybe;TRUE;false;true;false;yes;"));
    rule = Rule("o'neil@y.jp");
    ASSERT_TRUE(rule);
    EXPECT_EQ((*rule)["印刷"], 0);
    EXPECT_EQ((*rule)["メール保存"], 1);
    EXPECT_EQ((*rule)["ボックスクリア"], 0);
    EXPECT_EQ((*rule)["ログ出力"], 1);
    EXPECT_EQ((*rule)["受信拒否"], 0);
    EXPECT_EQ((*rule)["メール転送"], 0);
    EXPECT_EQ((*rule)["転送先TO"], "");
    EXPECT_EQ((*rule)["名前"], "");
    EXPECT_EQ(RuleCount(), 2);
}

TEST_F(Apply, ForwardListsOfThreeSenders)
{
    Sql({"INSERT INTO tblList (アドレス, 印刷, 転送先TO, 転送先CC) VALUES ('a@x.jp', 1, 'old@to', "
         "'old@cc')"});
    ASSERT_TRUE(Run("listto=a@x.jp;listcc=b@x.jp;c1@y; c2@y;listbcc=c@x.jp;bcc@y;"));

    auto a = Rule("a@x.jp");
    ASSERT_TRUE(a);
    EXPECT_EQ((*a)["転送先TO"], ""); // only the address: the list is emptied
    EXPECT_FALSE((*a)["転送先TO"].isNull());
    EXPECT_EQ((*a)["転送先CC"], "old@cc");
    EXPECT_EQ((*a)["印刷"], 1);
    auto b = Rule("b@x.jp");
    ASSERT_TRUE(b);
    EXPECT_EQ((*b)["転送先CC"], "c1@y; c2@y");
    EXPECT_EQ((*b)["印刷"], 0);
    auto c = Rule("c@x.jp");
    ASSERT_TRUE(c);
    EXPECT_EQ((*c)["転送先BCC"], "bcc@y");
    EXPECT_EQ(RuleCount(), 3);
}

TEST_F(Apply, DatabaseFailureLeavesTheRuleListAsItWas)
{
    Sql({"CREATE TRIGGER refuse BEFORE INSERT ON tblList WHEN NEW.アドレス = 'bad@x.jp' "
         "BEGIN SELECT RAISE(ABORT, 'refused by test'); END"});
    QString error;
    EXPECT_FALSE(Run("trsto=t@x.jp;listflg=good@x.jp;true;listbcc=bad@x.jp;b@y;", &error));
    EXPECT_TRUE(error.contains("refused by test")) << error.toStdString();
    EXPECT_FALSE(Rule("good@x.jp")); // rolled back with the failing step
    EXPECT_EQ(RuleCount(), 0);
    // The window fields and the settings file were changed before the rule list.
    EXPECT_EQ(copy->Text("trsto"), "t@x.jp");
    EXPECT_TRUE(SettingsFile().contains("\ntrsto=t@x.jp\n"));

    ASSERT_TRUE(QFile::remove(home.File("list.db")));
    EXPECT_FALSE(Run("listflg=good@x.jp;true;", &error));
    EXPECT_FALSE(error.isEmpty());
}

TEST_F(Apply, FailedSettingsSaveIsLoggedAndTheCommandGoesOn)
{
    ASSERT_TRUE(QDir(home.Path()).mkdir("larchwatcher.ini")); // cannot be read or replaced
    ASSERT_TRUE(Run("listflg=a@x.jp;true;"));
    EXPECT_EQ(LogEntries(), QStringList{QString::fromUtf8("popserverの設定に失敗しました。")});
    ASSERT_TRUE(Rule("a@x.jp"));
    EXPECT_EQ((*Rule("a@x.jp"))["印刷"], 1);
}
