// The saved-mail viewer on a real list database made from the template, with saved copies.
#include "ui/Form3.h"

#include "engine/mail/ActivityLog.h"
#include "store/FindOrAdd.h"
#include "ui/MailClient.h"
#include "ui/MessageBox.h"
#include "ui/UiTest.h"

#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QUrlQuery>

namespace {

using lw::ui::Form3;
using lw::ui::MessageBox;

class FakeMailClient final : public lw::ui::MailClient {
public:
    bool Compose(const QUrl& mailto, QString& error) override
    {
        drafts.append(mailto);
        if (!composeWorks) error = "メールソフトが登録されていません。";
        return composeWorks;
    }
    bool Open(const QString& path, QString& error) override
    {
        opened.append(path);
        error = "開けません";
        return QFile::exists(path);
    }
    QList<QUrl> drafts;
    QStringList opened;
    bool composeWorks = true;
};

void Write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

QByteArray Encoded(const QString& text) { return "=?UTF-8?B?" + text.toUtf8().toBase64() + "?="; }

QByteArray WithNamesAndAttachments()
{
    return "From: " + Encoded("山田 太郎") + " <taro@example.jp>\r\nTo: " + Encoded("総務課") +
           " <soumu@example.jp>\r\nSubject: " + Encoded("見積書の送付") +
           "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
           "--b1\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
           QStringLiteral("お世話になっております。\r\n見積書を添付します。\r\n").toUtf8() +
           "--b1\r\nContent-Type: text/plain\r\nContent-Disposition: attachment; filename=\"memo.txt\"\r\n\r\nmemo\r\n"
           "--b1\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment; filename=\"quote.pdf\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n--b1--\r\n";
}

QByteArray BareAddresses(const QByteArray& subject, const QByteArray& body)
{
    return "From: plain@example.com\r\nTo: office@example.jp\r\nSubject: " + subject +
           "\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\n" + body + "\r\n";
}

QString Cell(const QTableView* grid, int row, int column) { return grid->model()->index(row, column).data().toString(); }

// A program folder with the list database, a save folder with saved copies and a work folder.
class Form3Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        MessageBox::ClearLog();
        settings.programFolder = temp.Folder();
        QDir().mkpath(workFolder);
        lw::test::CopyTemplateDatabase(temp.File("list.db"));
        Add("a.eml", "見積書の送付", day, WithNamesAndAttachments());
        Add("b.eml", "plain", day.addDays(-1), BareAddresses("plain", "just text"));
        Add("c.eml", "gone", day.addDays(-2), BareAddresses("gone", "x"), true, false);
        Add("d.eml", "not saved", day.addDays(1), BareAddresses("n", "n"), false);
    }
    void TearDown() override { EXPECT_EQ(MessageBox::PendingAnswers(), 0) << "an expected message box was not shown"; }

    // The message goes into the work folder and, when saved with a copy, into the save folder.
    void Add(const QString& id, const QString& subject, const QDateTime& received, const QByteArray& message,
             bool saved = true, bool withCopy = true)
    {
        Write(workFolder + u'/' + id, message);
        if (saved && withCopy) Write(saveFolder + u'/' + id, message);
        Sql("INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 件名, 送信アドレス, 送信アドレス名, 受信日, "
            "メール保存, メール保存先パス) VALUES (?, ?, ?, 'x@example.jp', 'x', ?, ?, ?)",
            {id, workFolder + u'/' + id, subject, lw::store::ToStoredDateTime(received), saved ? 1 : 0,
             saved ? saveFolder + u'/' + id : QString()});
    }
    QStringList Sql(const QString& sql, const QVariantList& values = {})
    {
        return lw::test::Sql(temp.File("list.db"), sql, values);
    }
    QString LogText() const
    {
        QFile log(lw::mail::LogFilePath(settings.programFolder, settings.logfile, QDateTime::currentDateTime()));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

    // The viewer, shown; grid is its list.
    Form3& Open()
    {
        form = std::make_unique<Form3>([this] { return settings; }, client);
        form->show();
        grid = lw::test::Find<QTableView>(*form, "DBGrid1");
        return *form;
    }
    void Select(int row)
    {
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(grid->model()->index(row, 0)).center());
    }
    template <typename T> T* Child(const char* name) { return lw::test::Find<T>(*form, name); }
    QString Title() { return Child<QPlainTextEdit>("txtTitle")->toPlainText(); }

    const QDateTime day{QDate(2026, 12, 7), QTime(9, 15, 0)};
    lw::test::TempHome temp;
    lw::config::SettingsRecord settings;
    QString saveFolder = temp.File("mail");
    QString workFolder = saveFolder + "/work";
    FakeMailClient client;
    std::unique_ptr<Form3> form;
    QTableView* grid = nullptr;
};

TEST_F(Form3Test, ListsSavedMailNewestFirstAndPreviewsTheSavedCopy)
{
    Open();
    EXPECT_EQ(form->windowTitle(), "保存メール");
    auto* body = Child<QPlainTextEdit>("txtBody");
    auto* files = Child<QLineEdit>("txtFile");
    auto* print = Child<QPushButton>("cmdRead");
    auto* del = Child<QPushButton>("cmdDel");
    auto* reply = Child<QPushButton>("cmdMail");

    // Saved rows only, newest first; the date in the system's text form.
    ASSERT_EQ(grid->model()->rowCount(), 3);
    EXPECT_EQ(Cell(grid, 0, 2) + Cell(grid, 1, 2) + Cell(grid, 2, 2), "見積書の送付plaingone");
    EXPECT_EQ(Cell(grid, 0, 3), "2026/12/07 09:15:00");
    QStringList headings;
    for (int column = 0; column < 4; ++column) headings << grid->model()->headerData(column, Qt::Horizontal).toString();
    EXPECT_EQ(headings, (QStringList{"送信者", "送信者アドレス", "件名", "受信日時"}));
    EXPECT_TRUE(grid->isColumnHidden(4) && !grid->isColumnHidden(3));

    EXPECT_FALSE(print->isEnabled() || del->isEnabled() || reply->isEnabled()) << "no row chosen yet";
    Select(0);
    EXPECT_TRUE(print->isEnabled() && del->isEnabled() && reply->isEnabled());
    EXPECT_EQ(Title(), "送信者：山田 太郎 宛先：総務課\n件名：見積書の送付");
    EXPECT_TRUE(body->toPlainText().contains("見積書を添付します。"));
    EXPECT_EQ(files->text(), "添付：memo.txt, quote.pdf");
    EXPECT_TRUE(form->MailText().startsWith("subject:見積書の送付\r\n")) << form->MailText().toStdString();

    // Double-clicking the second name opens that attachment.
    const QString line = files->text();
    const int x = files->fontMetrics().horizontalAdvance(line.left(line.indexOf("quote") + 2)) + 4;
    QTest::mouseDClick(files, Qt::LeftButton, {}, QPoint(x, files->height() / 2));
    ASSERT_EQ(client.opened.size(), 1);
    EXPECT_TRUE(client.opened.first().endsWith("quote.pdf") && QFile::exists(client.opened.first()));
    // Previewing the same message again does not leave numbered copies behind.
    Select(1);
    Select(0);
    EXPECT_EQ(QFileInfo(client.opened.first()).dir().entryList(QDir::Files).size(), 2);

    // Without display names the addresses stand in; no attachment gives an empty line.
    Select(1);
    EXPECT_EQ(Title(), "送信者：plain@example.com 宛先：office@example.jp\n件名：plain");
    EXPECT_EQ(body->toPlainText() + files->text(), "just text");

    // A saved copy that is gone: empty fields, and no sender to reply to.
    Select(2);
    EXPECT_EQ(Title(), "送信者： 宛先：\n件名：");
    EXPECT_TRUE(body->toPlainText().isEmpty() && files->text().isEmpty());
    EXPECT_FALSE(reply->isEnabled());
    EXPECT_TRUE(print->isEnabled() && del->isEnabled());
}

TEST_F(Form3Test, DeleteAsksThenClearsTheMarksOnlyWhenTheCopyIsGone)
{
    const QString save = saveFolder + u'/';
    Sql("INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名, 添付ファイル保存先パス) VALUES "
             "('a.eml', 'memo.txt', ?), ('a.eml', 'quote.pdf', ?), ('b.eml', 'x.txt', ?)",
             {save + "memo.txt", save + "quote.pdf", save + "x.txt"});
    Open();
    Select(0);

    // No: nothing changes; the list is reloaded and the preview emptied.
    MessageBox::SetNextAnswer(MessageBox::No);
    form->DeleteSavedMail();
    EXPECT_EQ(MessageBox::Log(), QStringList{"保存メールを削除します。よろしいですか。"});
    EXPECT_EQ(grid->model()->rowCount(), 3);
    EXPECT_TRUE(QFile::exists(save + "a.eml"));
    EXPECT_TRUE(Title().isEmpty());

    // Yes on the current row (the first after the reload).
    MessageBox::SetNextAnswer(MessageBox::Yes);
    form->DeleteSavedMail();
    ASSERT_EQ(grid->model()->rowCount(), 2);
    EXPECT_EQ(Cell(grid, 0, 2), "plain");
    EXPECT_FALSE(QFile::exists(save + "a.eml"));
    EXPECT_TRUE(QFile::exists(workFolder + "/a.eml"));
    EXPECT_EQ(Sql("SELECT メール保存 || '|' || メール保存先パス FROM tblHistory WHERE 保存ファイルID = 'a.eml'"),
              QStringList{"0|"});
    EXPECT_EQ(Sql("SELECT count(*) FROM tblHistoryFiles WHERE 添付ファイル保存先パス = ''"), QStringList{"2"});
    EXPECT_TRUE(LogText().isEmpty());

    // A copy that cannot be removed (a folder in its place): row unchanged, error logged.
    ASSERT_TRUE(QDir().mkpath(save + "stuck.eml/inner"));
    const QString moveB = "UPDATE tblHistory SET メール保存先パス = ? WHERE 保存ファイルID = 'b.eml'";
    Sql(moveB, {save + "stuck.eml"});
    MessageBox::SetNextAnswer(MessageBox::Yes);
    form->DeleteSavedMail();
    EXPECT_EQ(grid->model()->rowCount(), 2);
    EXPECT_TRUE(LogText().contains("==> 保存メール削除エラー：")) << LogText().toStdString();
    EXPECT_EQ(Sql("SELECT 添付ファイル保存先パス FROM tblHistoryFiles WHERE 保存ファイルID = 'b.eml'"),
              QStringList{save + "x.txt"});
    Sql(moveB, {save + "b.eml"});
    form->LoadSavedMailList();

    // A copy that is already gone (c.eml) is deleted from the list without complaint.
    for (int i = 0; i < 2; ++i) {
        MessageBox::SetNextAnswer(MessageBox::Yes);
        form->DeleteSavedMail(); // b.eml, then c.eml
    }
    EXPECT_EQ(grid->model()->rowCount(), 0);
    EXPECT_EQ(Sql("SELECT count(*) FROM tblHistory"), QStringList{"4"});

    // An empty list: the delete ends in the logged error, without a question.
    MessageBox::ClearLog();
    const qsizetype errors = LogText().count("保存メール削除エラー：");
    form->DeleteSavedMail();
    EXPECT_TRUE(MessageBox::Log().isEmpty());
    EXPECT_EQ(LogText().count("保存メール削除エラー："), errors + 1);
}

TEST_F(Form3Test, ReplyDraftGoesToTheSenderWithTheQuotedBody)
{
    Add("e.eml", QString(), day.addDays(1), BareAddresses("", QStringLiteral("長い本文の行です。").repeated(2000).toUtf8()));
    Open();
    const QString end = "\r\n-------------- Original Message End --------------";
    const auto item = [](const QUrl& url, const char* key) {
        return QUrlQuery(url).queryItemValue(key, QUrl::FullyDecoded);
    };

    Select(1); // a.eml
    form->ComposeReply();
    ASSERT_EQ(client.drafts.size(), 1);
    const QUrl draft = client.drafts.first();
    EXPECT_EQ(draft.scheme() + u':' + draft.path(), "mailto:taro@example.jp");
    EXPECT_EQ(item(draft, "subject"), "Re: 見積書の送付");
    const QString body = item(draft, "body");
    EXPECT_TRUE(body.startsWith("---------------- Original Message ----------------\r\nお世話になっております。"))
        << body.toStdString();
    EXPECT_TRUE(body.endsWith(end));
    EXPECT_FALSE(body.contains(lw::ui::ShortenedNotice()));

    // An empty subject gives "Re: "; a long body is cut just enough to fit, saying so.
    Select(0);
    form->ComposeReply();
    ASSERT_EQ(client.drafts.size(), 2);
    const QUrl cut = client.drafts.last();
    EXPECT_LE(cut.toEncoded().size(), lw::ui::kMaxReplyUrlLength);
    EXPECT_GT(cut.toEncoded().size(), lw::ui::kMaxReplyUrlLength - 100);
    EXPECT_EQ(item(cut, "subject"), "Re: ");
    EXPECT_TRUE(item(cut, "body").contains("長い本文の行です。長い"));
    EXPECT_TRUE(item(cut, "body").endsWith(lw::ui::ShortenedNotice() + end));

    // Characters that separate URL fields stay part of the text.
    lw::mail::ReceivedMail odd;
    odd.fromAddress = "a+b@example.jp";
    odd.subject = "1+1=2 & more #3 100%";
    odd.body = "x&body=injected";
    const QUrl oddUrl = lw::ui::ReplyUrl(odd);
    EXPECT_EQ(item(oddUrl, "subject"), "Re: 1+1=2 & more #3 100%");
    EXPECT_TRUE(item(oddUrl, "body").contains("x&body=injected"));
    EXPECT_EQ(QUrlQuery(oddUrl).allQueryItemValues("body").size(), 1);

    // No mail client: the operator is told so.
    client.composeWorks = false;
    MessageBox::SetNextAnswer(MessageBox::Ok);
    form->ComposeReply();
    EXPECT_EQ(MessageBox::Log(), QStringList{"メールソフトが登録されていません。"});
}

TEST_F(Form3Test, PrintShowsTheNoticeOfTheReceivedFile)
{
    Sql("UPDATE tblHistory SET 保存ファイルパス = '' WHERE 保存ファイルID = 'c.eml'");
    QFile::remove(workFolder + "/b.eml");
    Open();
    QStringList shown;
    form->SetPreview([&](const lw::ui::NoticeReport& report, QWidget*) { shown.append(report.Body()); });

    Select(0);
    form->PrintSavedMail();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown.first(), form->MailText());
    EXPECT_TRUE(shown.first().startsWith("subject:見積書の送付\r\nfrom:"));
    EXPECT_FALSE(shown.first().contains("\r\nto:")) << "the notice names no recipient";

    // The received file is gone: the operator is told; none recorded: nothing happens at all.
    Select(1);
    MessageBox::SetNextAnswer(MessageBox::Ok);
    form->PrintSavedMail();
    EXPECT_EQ(MessageBox::Log(), QStringList{"ファイルが存在しません。"});
    Select(2);
    form->PrintSavedMail();
    EXPECT_EQ(MessageBox::Log().size() + shown.size(), 2);
}

} // namespace
