#include "command/CommandMail.h"

#include "command/CommandFixture.h"
#include "store/ListDatabase.h"

using lw::command::FindCommandBlock;
using lw::command::HandleCommandMail;

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
        mail.fromAddress = "boss@x.jp";
    }

    void Handle(const QString& body)
    {
        mail.body = body;
        HandleCommandMail(Record(), mail, *copy);
    }

    // The コマンド column of the message's history row, or -1 without a row.
    int CommandMark()
    {
        const auto rows = Rows("SELECT コマンド FROM tblHistory WHERE 保存ファイルID = 'm0001.eml'");
        return rows.isEmpty() ? -1 : rows.first()["コマンド"].toInt();
    }

    lw::mail::ReceivedMail mail;
    const QString file = home.File("mail/work/m0001.eml");
};

} // namespace

TEST_F(HandleCommand, OnlyTheFirstCompleteBlockCounts)
{
    QString block;
    for (const char* body : {"no command here", "mpp{}", "mpp{acc=Admin;", "MPP{acc=Admin;}", "} earlier brace mpp{acc=Admin;}"})
        EXPECT_FALSE(FindCommandBlock(body, block)) << body;
    ASSERT_TRUE(FindCommandBlock("Hello\nmpp{acc=Admin;} mpp{acc=Other;}\n-- \nsig }", block));
    EXPECT_EQ(block, "acc=Admin;");

    // None of the incomplete ones leaves a trace.
    for (const char* body :
         {"no command", "mpp{}", "x } mpp{acc=Admin;pass=s3cret;trsto=;}", "MPP{acc=Admin;}"})
        Handle(body);
    EXPECT_TRUE(LogEntries().isEmpty());
    EXPECT_EQ(copy->Text("trsto"), "kept@x.jp");
    EXPECT_TRUE(SettingsFile().isEmpty());
}

TEST_F(HandleCommand, RefusedAndUnauthenticatedBlocksChangeNothing)
{
    copy->SetState("flgcmd", 0);
    Handle("mpp{acc=Admin;pass=s3cret;listflg=a@x.jp;true;}");
    copy->SetState("flgcmd", 1);
    Handle("mpp{acc=admin;pass=s3cret;listflg=a@x.jp;true;}");  // letter case differs
    Handle("mpp{acc=Admin;pass=s3cret ;listflg=a@x.jp;true;}"); // trimmed: equal
    Handle("mpp{acc=Admin;pass=s3cre;listflg=a@x.jp;true;}");
    Handle("mpp{listflg=a@x.jp;true;}");

    EXPECT_EQ(LogEntries(), (QStringList{"コマンド拒否[" + file + "]:Admin:s3cret",
                                         "コマンド認証エラー[" + file + "]:admin:s3cret",
                                         "コマンド実行[" + file + "]:Admin:s3cret",
                                         "コマンド認証エラー[" + file + "]:Admin:s3cre",
                                         "コマンド認証エラー[" + file + "]::"}));
    EXPECT_EQ(RuleCount(), 1); // only the accepted one
}

TEST_F(HandleCommand, AcceptedCommandChangesFieldsFileRulesAndHistory)
{
    Handle("Please apply:\r\nmpp{\r\nacc=Admin;\r\npass=s3cret;\r\ntrsflg=true;2;true;\r\n"
           "trsto=Fixed@X.JP;\r\nlistflg=a@x.jp;true;true;false;true;false;true;\r\nlistto=a@x.jp;t1@y;t2@y;"
           "\r\n}"
           "\r\n> quoted } text");
    EXPECT_EQ(LogEntries(), QStringList{"コマンド実行[" + file + "]:Admin:s3cret"});
    EXPECT_EQ(copy->State("flgtrstgt"), 2);
    EXPECT_EQ(copy->Text("trsto"), "Fixed@X.JP");
    EXPECT_TRUE(SettingsFile().contains("\ntrsto=Fixed@X.JP\n"));
    const auto rule = Rule("a@x.jp");
    ASSERT_TRUE(rule);
    EXPECT_EQ((*rule)["ボックスクリア"], 0);
    EXPECT_EQ((*rule)["メール転送"], 1);
    EXPECT_EQ((*rule)["転送先TO"], "t1@y; t2@y");
    EXPECT_EQ(CommandMark(), 1);

    // Empty account and password are accepted only when both command fields are empty.
    copy->SetText("cmdaccount", "");
    copy->SetText("cmdpassword", "");
    Handle("mpp{trsto=second@x.jp;}");
    EXPECT_EQ(copy->Text("trsto"), "second@x.jp");
    EXPECT_EQ(LogEntries().last(), "コマンド実行[" + file + "]::");
}

TEST_F(HandleCommand, DatabaseErrorIsLoggedWithoutExecutionLineOrHistory)
{
    lw::store::SetBusyTimeout(50);
    const QString holder = QStringLiteral("lock holder");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), holder);
        db.setDatabaseName(home.File("list.db"));
        ASSERT_TRUE(db.open());
        QSqlQuery lock(db);
        ASSERT_TRUE(lock.exec("BEGIN IMMEDIATE"));
        Handle("mpp{acc=Admin;pass=s3cret;listflg=a@x.jp;true;}");
        lock.exec("ROLLBACK");
    }
    QSqlDatabase::removeDatabase(holder);
    lw::store::SetBusyTimeout(5000);

    const QStringList entries = LogEntries();
    const QString head = "コマンド実行エラー[" + file + "]:";
    ASSERT_EQ(entries.size(), 1);
    EXPECT_TRUE(entries.first().startsWith(head) && entries.first().size() > head.size()) << entries.first().toStdString();
    EXPECT_EQ(RuleCount(), 0);
    EXPECT_EQ(CommandMark(), -1);

    // The next message is handled as usual.
    Handle("mpp{acc=Admin;pass=s3cret;listflg=a@x.jp;true;}");
    EXPECT_EQ(LogEntries().last(), "コマンド実行[" + file + "]:Admin:s3cret");
    EXPECT_EQ(RuleCount(), 1);
}
