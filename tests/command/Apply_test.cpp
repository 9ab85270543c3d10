#include "command/ApplyCommand.h"

#include "command/CommandFixture.h"

#include <QDir>

namespace {

class Apply : public lw::test::CommandFixture {
  protected:
    bool Run(const QString& block, QString* error = nullptr)
    {
        lw::command::CommandParams params;
        lw::command::ParseCommandParams(params, block);
        const lw::command::AppliedCommand applied = lw::command::ApplyCommand(Record(), params, *copy);
        if (!applied.settingsSave) saveFailures << applied.settingsSave.ErrorText();
        if (error && !applied.ruleChanges) *error = applied.ruleChanges.ErrorText();
        return applied.ruleChanges.Ok();
    }
    QStringList saveFailures; // what a failed save of the settings reported, in order
    // 印刷, メール保存, ボックスクリア, ログ出力, 受信拒否, メール転送 of a rule as six digits.
    QString Flags(const QString& address) const
    {
        const QString flags = "SELECT 印刷||メール保存||ボックスクリア||ログ出力||受信拒否||メール転送";
        return Db().Value(flags + " FROM tblList WHERE アドレス = ?", {address}).toString();
    }
    QList<int> Switches() const { return {copy->State("flgtrs"), copy->State("flgtrstgt"), copy->State("flgtrsto")}; }
};

} // namespace

TEST_F(Apply, ForwardingFieldsAndSenderRulesChangeAndADatabaseFailureRollsTheRulesBack)
{
    copy->SetText("popserver", "typed.example"); // typed by the operator, never saved
    copy->SetText("trsto", "old@x.jp");
    copy->SetState("flgtrsto", 1);
    ASSERT_TRUE(Run("trsflg= TRUE ;1;yes;trsbcc=  B1@X.JP ;b2@x.jp;"));
    EXPECT_EQ(Switches(), (QList<int>{1, 1, 0})); // "yes" is not the flag word
    EXPECT_EQ(copy->Text("trsto"), "");           // lists the command did not carry are emptied
    for (const char* line : {"\npopserver=typed.example\n", "\nflgtrsto=0\n", "\ntrsto=\n", "\ntrsbcc=B1@X.JP; b2@x.jp\n"})
        EXPECT_TRUE(SettingsFile().contains(line)) << line << "\n" << SettingsFile().data();

    // Switches absent or unusable are left alone; the command goes on.
    copy->SetState("flgtrstgt", 2);
    copy->SetState("flgtrsto", 1);
    for (const char* target : {"3", "x", "1.5", "-1", "99999999999"}) {
        ASSERT_TRUE(Run(QStringLiteral("trsflg=;%1;trsto=t@x.jp;").arg(target))) << target;
        EXPECT_EQ(Switches(), (QList<int>{1, 2, 1})) << target;
        EXPECT_EQ(copy->Text("trsto"), "t@x.jp") << target;
    }
    ASSERT_TRUE(Run("trsflg=false;0;;"));
    EXPECT_EQ(Switches(), (QList<int>{0, 0, 1}));

    AddRule("Known@X.JP", "011111", {"old@to", "old@cc", QVariant()});
    Db().Exec("UPDATE tblList SET 名前 = '既知' WHERE アドレス = 'Known@X.JP'");
    // Existing rule, found without regard to letter case: true, empty, false, and nothing more.
    ASSERT_TRUE(Run("listflg= known@x.jp ;true;;false;"));
    EXPECT_EQ(Flags("known@x.jp"), "110111");
    EXPECT_EQ(Rule("known@x.jp").value("アドレス"), "Known@X.JP");
    EXPECT_EQ(Rule("known@x.jp").value("名前"), "既知");
    // New rule: the fifth value is the log flag, the sixth the reject flag; other words keep the defaults.
    ASSERT_TRUE(Run("listflg=o'neil@y.jp;maybe;TRUE;false;true;false;yes;"));
    EXPECT_EQ(Flags("o'neil@y.jp"), "010100");

    ASSERT_TRUE(Run("listto=known@x.jp;listcc=b@x.jp;c1@y; c2@y;listbcc=c@x.jp;bcc@y;"));
    const QSqlRecord known = Rule("known@x.jp");
    EXPECT_TRUE(known.value("転送先TO") == "" && !known.isNull("転送先TO")) << "emptied, not null";
    EXPECT_EQ(known.value("転送先CC"), "old@cc");
    EXPECT_EQ(Flags("known@x.jp"), "110111");
    EXPECT_EQ(Rule("b@x.jp").value("転送先CC"), "c1@y; c2@y");
    EXPECT_EQ(Flags("b@x.jp"), "000000");
    EXPECT_EQ(Rule("c@x.jp").value("転送先BCC"), "bcc@y");
    EXPECT_EQ(RuleCount(), 4);

    // A database failure rolls the rule list back; a failed save of the settings does not stop it.
    Db().Exec("CREATE TRIGGER refuse BEFORE INSERT ON tblList WHEN NEW.アドレス = 'bad@x.jp' "
              "BEGIN SELECT RAISE(ABORT, 'refused by test'); END");
    QString error;
    EXPECT_FALSE(Run("trsto=t@x.jp;listflg=good@x.jp;true;listbcc=bad@x.jp;b@y;", &error));
    EXPECT_TRUE(error.contains("refused by test")) << error.toStdString();
    EXPECT_EQ(RuleCount(), 4) << "one transaction: rolled back with the failing step";
    // The window fields and the settings file were changed before the rule list.
    EXPECT_EQ(copy->Text("trsto"), "t@x.jp");
    EXPECT_TRUE(SettingsFile().contains("\ntrsto=t@x.jp\n"));

    ASSERT_TRUE(QFile::remove(home.File("larchwatcher.ini")) && QDir(home.Path()).mkdir("larchwatcher.ini"));
    ASSERT_TRUE(Run("listflg=a@x.jp;true;")); // a settings file that cannot be replaced
    EXPECT_EQ(saveFailures, QStringList{"popserverの設定に失敗しました。"});
    EXPECT_EQ(Flags("a@x.jp"), "100000");

    ASSERT_TRUE(QFile::remove(home.File("list.db")));
    EXPECT_FALSE(Run("listflg=good@x.jp;true;", &error));
    EXPECT_FALSE(error.isEmpty());
}
