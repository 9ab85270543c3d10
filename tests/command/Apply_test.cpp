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

    // 印刷, メール保存, ボックスクリア, ログ出力, 受信拒否, メール転送 of a rule (empty without one).
    QList<int> Flags(const QString& address)
    {
        const auto rule = Rule(address);
        QList<int> flags;
        if (rule)
            for (const char* column : {"印刷", "メール保存", "ボックスクリア", "ログ出力", "受信拒否", "メール転送"})
                flags << (*rule)[QString::fromUtf8(column)].toInt();
        return flags;
    }
};

} // namespace

TEST_F(Apply, ForwardingFieldsChangeAndEverySettingIsSaved)
{
    copy->SetText("popserver", "typed.example"); // typed by the operator, never saved
    copy->SetText("trsto", "old@x.jp");
    copy->SetState("flgtrsto", 1);

    ASSERT_TRUE(Run("trsflg= TRUE ;1;yes;trsbcc=  B1@X.JP ;b2@x.jp;"));
    EXPECT_EQ(copy->State("flgtrs"), 1);
    EXPECT_EQ(copy->State("flgtrstgt"), 1);
    EXPECT_EQ(copy->State("flgtrsto"), 0); // "yes" is not the flag word
    EXPECT_EQ(copy->Text("trsto"), "");    // lists the command did not carry are emptied
    EXPECT_EQ(copy->Text("trsbcc"), "B1@X.JP; b2@x.jp");
    const QByteArray file = SettingsFile();
    for (const char* line : {"\npopserver=typed.example\n", "\nflgtrs=1\n", "\nflgtrsto=0\n", "\ntrsto=\n",
                             "\ntrsbcc=B1@X.JP; b2@x.jp\n"})
        EXPECT_TRUE(file.contains(line)) << line << "\n" << file.data();
    EXPECT_EQ(Record().trsbcc, "b1@x.jp\tb2@x.jp");

    // Switches absent or unusable are left alone; the command goes on.
    copy->SetState("flgtrstgt", 2);
    copy->SetState("flgtrsto", 1);
    for (const char* target : {"3", "x", "1.5", "-1", "99999999999"}) {
        ASSERT_TRUE(Run(QStringLiteral("trsflg=;%1;trsto=t@x.jp;").arg(target))) << target;
        EXPECT_EQ(copy->State("flgtrstgt"), 2) << target;
        EXPECT_EQ(copy->State("flgtrs"), 1) << target;
        EXPECT_EQ(copy->State("flgtrsto"), 1) << target;
        EXPECT_EQ(copy->Text("trsto"), "t@x.jp") << target;
    }
    ASSERT_TRUE(Run("trsflg=false;0;;"));
    EXPECT_EQ(copy->State("flgtrs"), 0);
    EXPECT_EQ(copy->State("flgtrstgt"), 0);
    EXPECT_EQ(copy->State("flgtrsto"), 1);
}

TEST_F(Apply, SenderFlagsAndForwardListsFindOrAddTheRule)
{
    Sql("INSERT INTO tblList (アドレス, 名前, 印刷, メール保存, ボックスクリア, ログ出力, 受信拒否, メール転送, 転送先TO, 転送先CC) "
        "VALUES ('Known@X.JP', '既知', 0, 1, 1, 1, 1, 1, 'old@to', 'old@cc')");

    // Existing rule, found without regard to letter case: true, empty, false, and nothing more.
    ASSERT_TRUE(Run("listflg= known@x.jp ;true;;false;"));
    EXPECT_EQ(Flags("known@x.jp"), (QList<int>{1, 1, 0, 1, 1, 1}));
    EXPECT_EQ((*Rule("known@x.jp"))["アドレス"], "Known@X.JP");
    EXPECT_EQ((*Rule("known@x.jp"))["名前"], "既知");

    // New rule: the fifth value is the log flag, the sixth the reject flag; words other than
    // true and false keep the table defaults.
    ASSERT_TRUE(Run("listflg=o'neil@y.jp;maybe;TRUE;false;true;false;yes;"));
    EXPECT_EQ(Flags("o'neil@y.jp"), (QList<int>{0, 1, 0, 1, 0, 0}));
    EXPECT_EQ((*Rule("o'neil@y.jp"))["転送先TO"], "");

    ASSERT_TRUE(Run("listto=known@x.jp;listcc=b@x.jp;c1@y; c2@y;listbcc=c@x.jp;bcc@y;"));
    const auto known = Rule("known@x.jp");
    EXPECT_EQ((*known)["転送先TO"], ""); // only the address: the list is emptied
    EXPECT_FALSE((*known)["転送先TO"].isNull());
    EXPECT_EQ((*known)["転送先CC"], "old@cc");
    EXPECT_EQ(Flags("known@x.jp"), (QList<int>{1, 1, 0, 1, 1, 1}));
    EXPECT_EQ((*Rule("b@x.jp"))["転送先CC"], "c1@y; c2@y");
    EXPECT_EQ(Flags("b@x.jp"), (QList<int>{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ((*Rule("c@x.jp"))["転送先BCC"], "bcc@y");
    EXPECT_EQ(RuleCount(), 4);
}

TEST_F(Apply, DatabaseFailureLeavesTheRuleListAsItWas)
{
    Sql("CREATE TRIGGER refuse BEFORE INSERT ON tblList WHEN NEW.アドレス = 'bad@x.jp' "
        "BEGIN SELECT RAISE(ABORT, 'refused by test'); END");
    QString error;
    EXPECT_FALSE(Run("trsto=t@x.jp;listflg=good@x.jp;true;listbcc=bad@x.jp;b@y;", &error));
    EXPECT_TRUE(error.contains("refused by test")) << error.toStdString();
    EXPECT_EQ(RuleCount(), 0) << "rolled back with the failing step";
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
    EXPECT_EQ(Flags("a@x.jp").value(0), 1);
}
