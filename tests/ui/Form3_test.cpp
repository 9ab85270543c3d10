// The saved-mail viewer on a real list database made from the template, with saved copies.
#include "ui/Form3.h"

#include "engine/mail/ActivityLog.h"
#include "store/FindOrAdd.h"
#include "ui/MailClient.h"
#include "ui/MessageBox.h"

#include "support/TempHome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QTest>
#include <QUrlQuery>

#include <gtest/gtest.h>

namespace {

using lw::ui::Form3;
using lw::ui::MessageBox;

class FakeMailClient final : public lw::ui::MailClient {
public:
    bool Compose(const QUrl& mailto, QString& error) override
    {
        drafts.append(mailto);
        if (!composeWorks) error = QStringLiteral("メールソフトが登録されていません。");
        return composeWorks;
    }
    bool Open(const QString& path, QString& error) override
    {
        opened.append(path);
        error = QStringLiteral("開けません");
        return QFile::exists(path);
    }
    QList<QUrl> drafts;
    QStringList opened;
    bool composeWorks = true;
};

QByteArray Encoded(const QString& text)
{
    return "=?UTF-8?B?" + text.toUtf8().toBase64() + "?=";
}

struct Row {
    QString id;
    QString subject;
    QDateTime received;
    bool saved = true;
    bool withCopy = true;
};

// A program folder with the list database, a save folder with saved copies and a work folder.
class ViewerHome {
public:
    ViewerHome()
    {
        settings.programFolder = home.Folder();
        saveFolder = home.File(QStringLiteral("mail"));
        workFolder = saveFolder + QStringLiteral("/work");
        QDir().mkpath(workFolder);
        EXPECT_TRUE(QFile::copy(lw::test::TemplateDatabase(), home.File(QStringLiteral("list.db"))));
        QFile::setPermissions(home.File(QStringLiteral("list.db")), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }

    // Writes a message into the work folder and, when saved, a copy into the save folder; adds its rows.
    void Add(const Row& row, const QByteArray& message)
    {
        const QString work = workFolder + u'/' + row.id;
        const QString saved = saveFolder + u'/' + row.id;
        Write(work, message);
        if (row.saved && row.withCopy) Write(saved, message);
        Sql(QStringLiteral("INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 件名, 送信アドレス, 送信アドレス名, "
                           "受信日, メール保存, メール保存先パス) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
            {row.id, work, row.subject, QStringLiteral("x@example.jp"), QStringLiteral("x"),
             lw::store::ToStoredDateTime(row.received), row.saved ? 1 : 0, row.saved ? saved : QString()});
    }

    void Sql(const QString& sql, const QVariantList& values = {})
    {
        const QString name = QStringLiteral("fixture");
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(home.File(QStringLiteral("list.db")));
            ASSERT_TRUE(db.open());
            QSqlQuery query(db);
            QString error;
            ASSERT_TRUE(lw::store::Execute(query, sql, values, error)) << error.toStdString();
            if (query.isSelect()) {
                result.clear();
                while (query.next()) result.append(query.value(0));
            }
        }
        QSqlDatabase::removeDatabase(name);
    }

    QVariantList Select(const QString& sql, const QVariantList& values = {})
    {
        Sql(sql, values);
        return result;
    }

    QString LogText() const
    {
        QFile log(lw::mail::LogFilePath(settings.programFolder, settings.logfile, QDateTime::currentDateTime()));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

    static void Write(const QString& path, const QByteArray& bytes)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    lw::test::TempHome home;
    lw::config::SettingsRecord settings;
    QString saveFolder;
    QString workFolder;
    QVariantList result;
};

QByteArray WithNamesAndAttachments()
{
    return "From: " + Encoded(QStringLiteral("山田 太郎")) + " <taro@example.jp>\r\n"
           "To: " + Encoded(QStringLiteral("総務課")) + " <soumu@example.jp>\r\n"
           "Subject: " + Encoded(QStringLiteral("見積書の送付")) + "\r\n"
           "Date: Mon, 07 Dec 2026 09:15:00 +0900\r\n"
           "MIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
           "--b1\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
           QStringLiteral("お世話になっております。\r\n見積書を添付します。\r\n").toUtf8() +
           "--b1\r\nContent-Type: text/plain; name=\"memo.txt\"\r\nContent-Disposition: attachment; filename=\"memo.txt\"\r\n\r\n"
           "memo\r\n"
           "--b1\r\nContent-Type: application/pdf; name=\"quote.pdf\"\r\nContent-Disposition: attachment; filename=\"quote.pdf\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n"
           "--b1--\r\n";
}

QByteArray BareAddresses(const QByteArray& subject, const QByteArray& body)
{
    return "From: plain@example.com\r\nTo: office@example.jp\r\nSubject: " + subject +
           "\r\nDate: Sun, 06 Dec 2026 18:00:00 +0900\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\n" + body + "\r\n";
}

Form3::SettingsSource Source(const ViewerHome& home)
{
    return [&home] { return home.settings; };
}

QString Cell(const QTableView* grid, int row, int column)
{
    return grid->model()->index(row, column).data().toString();
}

void Select(QTableView* grid, int row)
{
    const QRect cell = grid->visualRect(grid->model()->index(row, 0));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
}

template <typename T>
T* Child(const Form3& form, const char* name)
{
    return form.findChild<T*>(QString::fromLatin1(name));
}

class Form3Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        MessageBox::ClearLog();
        const QDateTime day(QDate(2026, 12, 7), QTime(9, 15, 0));
        home.Add({QStringLiteral("a.eml"), QStringLiteral("見積書の送付"), day}, WithNamesAndAttachments());
        home.Add({QStringLiteral("b.eml"), QStringLiteral("plain"), day.addDays(-1)}, BareAddresses("plain", "just text"));
        home.Add({QStringLiteral("c.eml"), QStringLiteral("gone"), day.addDays(-2), true, false}, BareAddresses("gone", "x"));
        home.Add({QStringLiteral("d.eml"), QStringLiteral("not saved"), day.addDays(1), false}, BareAddresses("n", "n"));
    }
    void TearDown() override { EXPECT_EQ(MessageBox::PendingAnswers(), 0) << "an expected message box was not shown"; }

    ViewerHome home;
    FakeMailClient client;
};

TEST_F(Form3Test, ListsSavedMailNewestFirstAndPreviewsTheSavedCopy)
{
    Form3 form(Source(home), client);
    EXPECT_EQ(form.objectName(), QStringLiteral("Form3"));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("保存メール"));
    auto* grid = Child<QTableView>(form, "DBGrid1");
    auto* title = Child<QPlainTextEdit>(form, "txtTitle");
    auto* body = Child<QPlainTextEdit>(form, "txtBody");
    auto* files = Child<QLineEdit>(form, "txtFile");
    auto* print = Child<QPushButton>(form, "cmdRead");
    auto* del = Child<QPushButton>(form, "cmdDel");
    auto* reply = Child<QPushButton>(form, "cmdMail");
    ASSERT_TRUE(grid && title && body && files && print && del && reply && Child<QPushButton>(form, "Command2"));
    form.show();

    // Saved rows only, newest first; the date in the system's text form.
    ASSERT_EQ(grid->model()->rowCount(), 3);
    EXPECT_EQ(Cell(grid, 0, 2), QStringLiteral("見積書の送付"));
    EXPECT_EQ(Cell(grid, 1, 2), QStringLiteral("plain"));
    EXPECT_EQ(Cell(grid, 2, 2), QStringLiteral("gone"));
    EXPECT_EQ(Cell(grid, 0, 3), QStringLiteral("2026/12/07 09:15:00"));
    const QStringList headings{QStringLiteral("送信者"), QStringLiteral("送信者アドレス"), QStringLiteral("件名"),
                               QStringLiteral("受信日時")};
    for (int column = 0; column < 4; ++column) {
        EXPECT_EQ(grid->model()->headerData(column, Qt::Horizontal).toString(), headings.at(column));
        EXPECT_FALSE(grid->isColumnHidden(column));
    }
    EXPECT_TRUE(grid->isColumnHidden(4));

    // Nothing to act on until a row is chosen.
    EXPECT_FALSE(print->isEnabled() || del->isEnabled() || reply->isEnabled());
    EXPECT_TRUE(title->toPlainText().isEmpty());

    Select(grid, 0);
    EXPECT_TRUE(print->isEnabled() && del->isEnabled() && reply->isEnabled());
    EXPECT_EQ(title->toPlainText(), QStringLiteral("送信者：山田 太郎 宛先：総務課\n件名：見積書の送付"));
    EXPECT_TRUE(body->toPlainText().contains(QStringLiteral("見積書を添付します。")));
    EXPECT_EQ(files->text(), QStringLiteral("添付：memo.txt, quote.pdf"));
    EXPECT_TRUE(form.MailText().startsWith(QStringLiteral("subject:見積書の送付\r\n"))) << form.MailText().toStdString();
    EXPECT_TRUE(form.MailText().contains(QStringLiteral("\r\nfile:")));

    // Double-clicking the second name opens that attachment.
    const QString line = files->text();
    const int x = files->fontMetrics().horizontalAdvance(line.left(line.indexOf(QStringLiteral("quote")) + 2)) + 4;
    QTest::mouseDClick(files, Qt::LeftButton, {}, QPoint(x, files->height() / 2));
    ASSERT_EQ(client.opened.size(), 1);
    EXPECT_TRUE(client.opened.first().endsWith(QStringLiteral("quote.pdf")));
    EXPECT_TRUE(QFile::exists(client.opened.first()));
    // Previewing the same message again does not leave numbered copies behind.
    Select(grid, 1);
    Select(grid, 0);
    const QFileInfo attachment(client.opened.first());
    EXPECT_EQ(attachment.dir().entryList(QDir::Files).size(), 2) << attachment.dir().entryList(QDir::Files).join(u' ').toStdString();

    // Without display names the addresses stand in; no attachment gives an empty line.
    Select(grid, 1);
    EXPECT_EQ(title->toPlainText(), QStringLiteral("送信者：plain@example.com 宛先：office@example.jp\n件名：plain"));
    EXPECT_EQ(body->toPlainText(), QStringLiteral("just text"));
    EXPECT_TRUE(files->text().isEmpty());
    EXPECT_TRUE(reply->isEnabled());

    // A saved copy that is gone: empty fields, and no sender to reply to.
    Select(grid, 2);
    EXPECT_EQ(title->toPlainText(), QStringLiteral("送信者： 宛先：\n件名："));
    EXPECT_TRUE(body->toPlainText().isEmpty());
    EXPECT_TRUE(files->text().isEmpty());
    EXPECT_FALSE(reply->isEnabled());
    EXPECT_TRUE(print->isEnabled() && del->isEnabled());
}

TEST_F(Form3Test, DeleteAsksThenClearsTheMarksOnlyWhenTheCopyIsGone)
{
    home.Sql(QStringLiteral("INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名, 添付ファイル保存先パス) VALUES "
                            "('a.eml', 'memo.txt', ?), ('a.eml', 'quote.pdf', ?), ('b.eml', 'x.txt', ?)"),
             {home.saveFolder + QStringLiteral("/memo.txt"), home.saveFolder + QStringLiteral("/quote.pdf"),
              home.saveFolder + QStringLiteral("/x.txt")});
    Form3 form(Source(home), client);
    auto* grid = Child<QTableView>(form, "DBGrid1");
    auto* title = Child<QPlainTextEdit>(form, "txtTitle");
    form.show();
    Select(grid, 0);

    // No: nothing changes, the list is reloaded and the preview emptied.
    MessageBox::SetNextAnswer(MessageBox::No);
    form.DeleteSavedMail();
    EXPECT_EQ(MessageBox::Log(), QStringList{QStringLiteral("保存メールを削除します。よろしいですか。")});
    EXPECT_EQ(grid->model()->rowCount(), 3);
    EXPECT_TRUE(QFile::exists(home.saveFolder + QStringLiteral("/a.eml")));
    EXPECT_TRUE(title->toPlainText().isEmpty());
    EXPECT_EQ(form.CurrentRow(), 0);

    // Yes on the current row (the first after the reload).
    MessageBox::SetNextAnswer(MessageBox::Yes);
    form.DeleteSavedMail();
    ASSERT_EQ(grid->model()->rowCount(), 2);
    EXPECT_EQ(Cell(grid, 0, 2), QStringLiteral("plain"));
    EXPECT_FALSE(QFile::exists(home.saveFolder + QStringLiteral("/a.eml")));
    EXPECT_TRUE(QFile::exists(home.workFolder + QStringLiteral("/a.eml")));
    EXPECT_EQ(home.Select(QStringLiteral("SELECT メール保存 || '|' || メール保存先パス FROM tblHistory WHERE 保存ファイルID = 'a.eml'")),
              QVariantList{QStringLiteral("0|")});
    EXPECT_EQ(home.Select(QStringLiteral("SELECT count(*) FROM tblHistoryFiles WHERE 添付ファイル保存先パス = ''")),
              QVariantList{2});
    EXPECT_TRUE(home.LogText().isEmpty());

    // A copy that cannot be removed (here a folder in its place) leaves the row as it was and
    // logs the error.
    const QString stuck = home.saveFolder + QStringLiteral("/stuck.eml");
    ASSERT_TRUE(QDir().mkpath(stuck + QStringLiteral("/inner")));
    home.Sql(QStringLiteral("UPDATE tblHistory SET メール保存先パス = ? WHERE 保存ファイルID = 'b.eml'"), {stuck});
    MessageBox::SetNextAnswer(MessageBox::Yes);
    form.DeleteSavedMail();
    EXPECT_EQ(grid->model()->rowCount(), 2);
    EXPECT_TRUE(home.LogText().contains(QStringLiteral("==> 保存メール削除エラー："))) << home.LogText().toStdString();
    EXPECT_EQ(home.Select(QStringLiteral("SELECT 添付ファイル保存先パス FROM tblHistoryFiles WHERE 保存ファイルID = 'b.eml'")),
              QVariantList{home.saveFolder + QStringLiteral("/x.txt")});
    EXPECT_EQ(home.Select(QStringLiteral("SELECT メール保存 FROM tblHistory WHERE 保存ファイルID = 'b.eml'")), QVariantList{1});
    home.Sql(QStringLiteral("UPDATE tblHistory SET メール保存先パス = ? WHERE 保存ファイルID = 'b.eml'"),
             {home.saveFolder + QStringLiteral("/b.eml")});
    form.LoadSavedMailList();

    // A copy that is already gone (c.eml) is deleted from the list without complaint.
    MessageBox::SetNextAnswer(MessageBox::Yes);
    form.DeleteSavedMail();  // b.eml
    MessageBox::SetNextAnswer(MessageBox::Yes);
    form.DeleteSavedMail();  // c.eml
    EXPECT_EQ(grid->model()->rowCount(), 0);
    EXPECT_EQ(home.Select(QStringLiteral("SELECT count(*) FROM tblHistory")), QVariantList{4});

    // An empty list: the delete ends in the logged error and the reload, without a question.
    MessageBox::ClearLog();
    const QString before = home.LogText();
    form.DeleteSavedMail();
    EXPECT_TRUE(MessageBox::Log().isEmpty());
    EXPECT_EQ(home.LogText().count(QStringLiteral("保存メール削除エラー：")),
              before.count(QStringLiteral("保存メール削除エラー：")) + 1);
    EXPECT_EQ(grid->model()->rowCount(), 0);
}

TEST_F(Form3Test, ReplyDraftGoesToTheSenderWithTheQuotedBody)
{
    const QString longBody = QStringLiteral("長い本文の行です。").repeated(2000);
    home.Add({QStringLiteral("e.eml"), QString(), QDateTime(QDate(2026, 12, 8), QTime(8, 0))},
             BareAddresses("", longBody.toUtf8()));
    Form3 form(Source(home), client);
    auto* grid = Child<QTableView>(form, "DBGrid1");
    form.show();

    Select(grid, 1);  // a.eml
    form.ComposeReply();
    ASSERT_EQ(client.drafts.size(), 1);
    const QUrl draft = client.drafts.first();
    EXPECT_EQ(draft.scheme(), QStringLiteral("mailto"));
    EXPECT_EQ(draft.path(), QStringLiteral("taro@example.jp"));
    const QUrlQuery query(draft);
    EXPECT_EQ(query.queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded), QStringLiteral("Re: 見積書の送付"));
    const QString body = query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded);
    EXPECT_TRUE(body.startsWith(QStringLiteral("---------------- Original Message ----------------\r\nお世話になっております。")))
        << body.toStdString();
    EXPECT_TRUE(body.endsWith(QStringLiteral("\r\n-------------- Original Message End --------------")));
    EXPECT_FALSE(body.contains(lw::ui::ShortenedNotice()));

    // An empty subject gives "Re: "; a long body is cut to fit, saying so.
    Select(grid, 0);
    form.ComposeReply();
    ASSERT_EQ(client.drafts.size(), 2);
    const QUrl cut = client.drafts.last();
    EXPECT_LE(cut.toEncoded().size(), lw::ui::kMaxReplyUrlLength);
    EXPECT_GT(cut.toEncoded().size(), lw::ui::kMaxReplyUrlLength - 100);
    const QUrlQuery cutQuery(cut);
    EXPECT_EQ(cutQuery.queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded), QStringLiteral("Re: "));
    const QString cutBody = cutQuery.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded);
    EXPECT_TRUE(cutBody.contains(QStringLiteral("長い本文の行です。長い")));
    EXPECT_TRUE(cutBody.endsWith(lw::ui::ShortenedNotice() + QStringLiteral("\r\n-------------- Original Message End --------------")));

    // Characters that separate URL fields stay part of the text.
    lw::mail::ReceivedMail odd;
    odd.fromAddress = QStringLiteral("a+b@example.jp");
    odd.subject = QStringLiteral("1+1=2 & more #3 100%");
    odd.body = QStringLiteral("x&body=injected");
    const QUrlQuery oddQuery(lw::ui::ReplyUrl(odd));
    EXPECT_EQ(oddQuery.queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded), QStringLiteral("Re: 1+1=2 & more #3 100%"));
    EXPECT_TRUE(oddQuery.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded).contains(QStringLiteral("x&body=injected")));
    EXPECT_EQ(oddQuery.allQueryItemValues(QStringLiteral("body")).size(), 1);

    // No mail client: the operator is told so.
    client.composeWorks = false;
    MessageBox::SetNextAnswer(MessageBox::Ok);
    form.ComposeReply();
    EXPECT_EQ(MessageBox::Log(), QStringList{QStringLiteral("メールソフトが登録されていません。")});
}

TEST_F(Form3Test, PrintShowsTheNoticeOfTheReceivedFile)
{
    home.Sql(QStringLiteral("UPDATE tblHistory SET 保存ファイルパス = '' WHERE 保存ファイルID = 'c.eml'"));
    QFile::remove(home.workFolder + QStringLiteral("/b.eml"));
    Form3 form(Source(home), client);
    auto* grid = Child<QTableView>(form, "DBGrid1");
    QStringList shown;
    form.SetPreview([&](const lw::ui::NoticeReport& report, QWidget*) { shown.append(report.Body()); });
    form.show();

    Select(grid, 0);
    form.PrintSavedMail();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown.first(), form.MailText());
    EXPECT_TRUE(shown.first().startsWith(QStringLiteral("subject:見積書の送付\r\nfrom:")));
    EXPECT_FALSE(shown.first().contains(QStringLiteral("\r\nto:"))) << "the notice names no recipient";
    EXPECT_TRUE(shown.first().endsWith(QStringLiteral("\r\n")));

    // The received file is gone: the operator is told, nothing is shown.
    Select(grid, 1);
    MessageBox::SetNextAnswer(MessageBox::Ok);
    form.PrintSavedMail();
    EXPECT_EQ(MessageBox::Log(), QStringList{QStringLiteral("ファイルが存在しません。")});
    EXPECT_EQ(shown.size(), 1);

    // No received file recorded: nothing happens at all.
    Select(grid, 2);
    form.PrintSavedMail();
    EXPECT_EQ(MessageBox::Log().size(), 1);
    EXPECT_EQ(shown.size(), 1);
}

TEST(Form3Scale, OpensAtOnceOverAHundredThousandSavedRows)
{
    ViewerHome home;
    home.Sql(QStringLiteral(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
        "INSERT INTO tblHistory (保存ファイルID, 件名, 受信日, メール保存, メール保存先パス) "
        "SELECT 'm' || i, '件名' || i, strftime('%Y-%m-%dT%H:%M:%S', '2026-01-01', '+' || i || ' minutes'), 1, '' FROM n"));
    FakeMailClient client;
    QElapsedTimer clock;
    clock.start();
    Form3 form(Source(home), client);
    auto* grid = Child<QTableView>(form, "DBGrid1");
    form.show();
    QCoreApplication::processEvents();
    const qint64 elapsed = clock.elapsed();
    std::printf("Form3 with 100000 saved rows shown in %lld ms\n", static_cast<long long>(elapsed));
    EXPECT_LT(elapsed, 1000);
    EXPECT_EQ(Cell(grid, 0, 2), QStringLiteral("件名100000"));
    EXPECT_LT(grid->model()->rowCount(), 100000) << "the rows are fetched as the grid scrolls";
}

} // namespace
