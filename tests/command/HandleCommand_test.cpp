#include "command/CommandMail.h"

#include "command/CommandFixture.h"

namespace {

class HandleCommand : public lw::test::CommandFixture {
  protected:
    void SetUp() override
    {
        CommandFixture::SetUp();
        copy->SetState("flgcmd", 1);
        copy->SetText("cmdaccount", "Admin");
        copy->SetText("cmdpassword", "s3cret");
        copy->SetText("trsto", "kept@x.jp");
        mail.file = file;
    }
    // Handles a message; its log lines are kept in order, and whether it was applied.
    bool Handle(const QString& body)
    {
        mail.body = body;
        const lw::command::CommandOutcome outcome = lw::command::HandleCommandMail(Record(), mail, *copy);
        logged += outcome.logLines;
        return outcome.applied;
    }
    QStringList logged;

    lw::mail::ReceivedMail mail;
    const QString file = home.File("mail/work/m0001.eml");
};

} // namespace

TEST_F(HandleCommand, OnlyTheFirstCompleteBlockCountsAndOnlyTheExactAccountAndPasswordAreAccepted)
{
    QString block;
    ASSERT_TRUE(lw::command::FindCommandBlock("Hello\nmpp{acc=Admin;} mpp{acc=Other;}\n-- \nsig }", block));
    EXPECT_EQ(block, "acc=Admin;");
    for (const char* body : {"no command", "mpp{}", "mpp{acc=Admin;", "MPP{acc=Admin;}", "x } mpp{acc=Admin;pass=s3cret;trsto=;}"}) {
        EXPECT_FALSE(lw::command::FindCommandBlock(body, block)) << body;
        EXPECT_FALSE(Handle(body)) << body;
    }
    EXPECT_TRUE(logged.isEmpty());
    EXPECT_EQ(copy->Text("trsto"), "kept@x.jp");
    EXPECT_TRUE(SettingsFile().isEmpty());

    // Only the exact account and password are accepted.
    copy->SetState("flgcmd", 0);
    Handle("mpp{acc=Admin;pass=s3cret;listflg=a@x.jp;true;}");
    copy->SetState("flgcmd", 1);
    Handle("mpp{acc=admin;pass=s3cret;listflg=a@x.jp;true;}");  // letter case differs
    EXPECT_TRUE(Handle("mpp{acc=Admin;pass=s3cret ;listflg=a@x.jp;true;}")); // trimmed: equal
    Handle("mpp{acc=Admin;pass=s3cre;listflg=b@x.jp;true;}");   // a right prefix is still wrong
    Handle("mpp{acc=Admin;pass=s3creT;listflg=b@x.jp;true;}");  // so is a wrong last character
    Handle("mpp{listflg=b@x.jp;true;}");
    EXPECT_EQ(RuleCount(), 1); // only the accepted one
    // Empty account and password are accepted only when both command fields are empty.
    copy->SetText("cmdaccount", "");
    copy->SetText("cmdpassword", "");
    Handle("mpp{trsto=second@x.jp;}");
    EXPECT_EQ(copy->Text("trsto"), "second@x.jp");
    EXPECT_EQ(logged, (QStringList{"コマンド拒否[" + file + "]:Admin:s3cret", "コマンド認証エラー[" + file + "]:admin:s3cret",
                                  "コマンド実行[" + file + "]:Admin:s3cret", "コマンド認証エラー[" + file + "]:Admin:s3cre",
                                  "コマンド認証エラー[" + file + "]:Admin:s3creT", "コマンド認証エラー[" + file + "]::",
                                  "コマンド実行[" + file + "]::"}));
}

TEST_F(HandleCommand, DatabaseErrorIsLoggedWithoutExecutionLineAndNotForTheHistory)
{
    Db().Exec("CREATE TRIGGER t BEFORE INSERT ON tblList BEGIN SELECT RAISE(ABORT, 'refused by test'); END");
    EXPECT_FALSE(Handle("mpp{acc=Admin;pass=s3cret;listflg=a@x.jp;true;}")) << "not for the history";
    ASSERT_EQ(logged.size(), 1);
    EXPECT_TRUE(logged[0].startsWith("コマンド実行エラー[" + file + "]:") && logged[0].contains("refused by test")) << logged[0].toStdString();
}
