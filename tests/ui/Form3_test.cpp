// The saved-mail viewer on a real list database made from the template, with saved copies.
#include "ui/Form3.h"

#include "engine/mail/ActivityLog.h"
#include "store/FindOrAdd.h"
#include "ui/MailClient.h"
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

struct FakeMailClient final : lw::ui::MailClient {
    bool Compose(const QUrl& mailto, QString& error) override
    {
        drafts.append(mailto);
        error = "メールソフトが登録されていません。";
        return composeWorks;
    }
    bool Open(const QString& path, QString&) override { return opened.append(path), QFile::exists(path); }
    QList<QUrl> drafts;
    QStringList opened;
    bool composeWorks = true;
};

QByteArray Encoded(const QString& text) { return "=?UTF-8?B?" + text.toUtf8().toBase64() + "?="; }

QByteArray WithNamesAndAttachments()
{
    return "From: " + Encoded("山田 太郎") + " <taro@example.jp>\r\nTo: " + Encoded("総務課") +
           " <soumu@example.jp>\r\nSubject: " + Encoded("見積書の送付") +
           "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
           "--b1\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
           QStringLiteral("お世話になっております。\r\n見積書を添付します。\r\n").toUtf8() +
           "--b1\r\nContent-Type: text/plain\r\nContent-Disposition: attachment; filename=\"memo.txt\"\r\n\r\n"
           "memo\r\n--b1\r\nContent-Type: application/pdf\r\n"
           "Content-Disposition: attachment; filename=\"quote.pdf\"\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n--b1--\r\n";
}

QByteArray BareAddresses(const QByteArray& subject, const QByteArray& body)
{
    return "From: plain@example.com\r\nTo: office@example.jp\r\nSubject: " + subject +
           "\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\n" + body + "\r\n";
}

// The list database, a save folder with saved copies and a work folder with received files.
class Form3Test : public lw::test::ListTest {
protected:
    void SetUp() override
    {
        ListTest::SetUp();
        settings.programFolder = m_home.Folder();
        QDir().mkpath(workFolder);
        Add("a.eml", "見積書の送付", 0, WithNamesAndAttachments());
        Add("b.eml", "plain", -1, BareAddresses("plain", "just text"), "rsc"); // received file gone
        Add("c.eml", "gone", -2, BareAddresses("gone", "x"), "s");             // saved copy gone
        Add("d.eml", "not saved", 1, BareAddresses("n", "n"), "rf");
    }

    // kind: r the received file recorded, f and present; s saved, c with its copy present.
    void Add(const QString& id, const QString& subject, int days, const QByteArray& message,
             const QString& kind = "rfsc")
    {
        const QString work = workFolder + u'/' + id, save = saveFolder + u'/' + id;
        if (kind.contains(u'f')) lw::test::WriteFile(work, message);
        if (kind.contains(u'c')) lw::test::WriteFile(save, message);
        const bool saved = kind.contains(u's');
        Sql("INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 件名, 送信アドレス, 送信アドレス名, "
            "受信日, メール保存, メール保存先パス) VALUES (?, ?, ?, 'x@example.jp', 'x', ?, ?, ?)",
            {id, kind.contains(u'r') ? work : QString(""), subject,
             lw::store::ToStoredDateTime(day.addDays(days)), saved ? 1 : 0, saved ? save : QString()});
    }
    QString LogText() const
    {
        QFile log(lw::mail::LogFilePath(settings.programFolder, settings.logfile, QDateTime::currentDateTime()));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

    void Open()
    {
        form = std::make_unique<Form3>([this] { return settings; }, client);
        form->show();
        grid = lw::test::Find<QTableView>(*form, "DBGrid1");
    }
    void Select(int row)
    {
        const QPoint at = grid->visualRect(grid->model()->index(row, 0)).center();
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, at);
    }
    // Answers the question, then deletes the current row.
    void Delete(MessageBox::Answer answer) { MessageBox::SetNextAnswer(answer), form->DeleteSavedMail(); }
    template <typename T> T* Child(const char* name) { return lw::test::Find<T>(*form, name); }
    QString Title() { return Child<QPlainTextEdit>("txtTitle")->toPlainText(); }
    QString Cell(int row, int column) { return grid->model()->index(row, column).data().toString(); }
    int Rows() { return grid->model()->rowCount(); }

    const QDateTime day{QDate(2026, 12, 7), QTime(9, 15, 0)};
    lw::config::SettingsRecord settings;
    QString saveFolder = m_home.File("mail");
    QString workFolder = saveFolder + "/work";
    FakeMailClient client;
    std::unique_ptr<Form3> form;
    QTableView* grid = nullptr;
};

TEST_F(Form3Test, ListsSavedMailNewestFirstPreviewsTheSavedCopyAndPrintsTheReceivedFile)
{
    Open();
    auto* body = Child<QPlainTextEdit>("txtBody");
    auto* files = Child<QLineEdit>("txtFile");
    const auto enabled = [this] {
        return QString::number(Child<QPushButton>("cmdRead")->isEnabled()) +
               QString::number(Child<QPushButton>("cmdDel")->isEnabled()) +
               QString::number(Child<QPushButton>("cmdMail")->isEnabled());
    };
    QStringList shown;
    form->SetPreview([&](const lw::ui::NoticeReport& report, QWidget*) { shown.append(report.Body()); });

    // Saved rows only, newest first; the date in the system's text form.
    ASSERT_EQ(Rows(), 3);
    EXPECT_EQ(Cell(0, 2) + Cell(1, 2) + Cell(2, 2), "見積書の送付plaingone");
    EXPECT_EQ(Cell(0, 3), "2026/12/07 09:15:00");
    EXPECT_EQ(enabled(), "000") << "no row chosen yet";
    Select(0);
    EXPECT_EQ(enabled(), "111");
    EXPECT_EQ(Title(), "送信者：山田 太郎 宛先：総務課\n件名：見積書の送付");
    EXPECT_TRUE(body->toPlainText().contains("見積書を添付します。"));
    EXPECT_EQ(files->text(), "添付：memo.txt, quote.pdf");
    // The notice names no recipient.
    form->PrintSavedMail();
    EXPECT_EQ(shown, QStringList{form->MailText()});
    EXPECT_TRUE(form->MailText().startsWith("subject:見積書の送付\r\nfrom:")) << form->MailText().toStdString();
    EXPECT_FALSE(form->MailText().contains("\r\nto:"));

    // Double-clicking the second name opens that attachment; previewing the same message again
    // leaves no numbered copies behind.
    const QString line = files->text();
    const int x = files->fontMetrics().horizontalAdvance(line.left(line.indexOf("quote") + 2)) + 4;
    QTest::mouseDClick(files, Qt::LeftButton, {}, QPoint(x, files->height() / 2));
    ASSERT_EQ(client.opened.size(), 1);
    EXPECT_TRUE(client.opened.first().endsWith("quote.pdf") && QFile::exists(client.opened.first()));
    Select(1);
    Select(0);
    EXPECT_EQ(QFileInfo(client.opened.first()).dir().entryList(QDir::Files).size(), 2);

    // Without display names the addresses stand in; no attachment gives an empty line.
    // Its received file is gone: printing tells the operator so.
    Select(1);
    EXPECT_EQ(Title(), "送信者：plain@example.com 宛先：office@example.jp\n件名：plain");
    EXPECT_EQ(body->toPlainText() + files->text(), "just text");
    MessageBox::SetNextAnswer(MessageBox::Ok);
    form->PrintSavedMail();
    EXPECT_EQ(MessageBox::Log(), QStringList{"ファイルが存在しません。"});

    // A saved copy that is gone: empty fields, no sender to reply to; no received file recorded:
    // printing does nothing at all.
    Select(2);
    EXPECT_EQ(Title() + body->toPlainText() + files->text(), "送信者： 宛先：\n件名：");
    EXPECT_EQ(enabled(), "110");
    form->PrintSavedMail();
    EXPECT_EQ(MessageBox::Log().size() + shown.size(), 2);
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
    Delete(MessageBox::No);
    EXPECT_EQ(MessageBox::Log(), QStringList{"保存メールを削除します。よろしいですか。"});
    EXPECT_TRUE(Rows() == 3 && QFile::exists(save + "a.eml") && Title().isEmpty());

    // Yes on the current row (the first after the reload): the saved copy goes, the received one stays.
    Delete(MessageBox::Yes);
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Cell(0, 2), "plain");
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
    Delete(MessageBox::Yes);
    EXPECT_EQ(Rows(), 2);
    EXPECT_TRUE(LogText().contains("==> 保存メール削除エラー：")) << LogText().toStdString();
    EXPECT_EQ(Sql("SELECT 添付ファイル保存先パス FROM tblHistoryFiles WHERE 保存ファイルID = 'b.eml'"),
              QStringList{save + "x.txt"});
    Sql(moveB, {save + "b.eml"});
    form->LoadSavedMailList();

    // A copy that is already gone (c.eml) is deleted from the list without complaint.
    Delete(MessageBox::Yes); // b.eml
    Delete(MessageBox::Yes); // c.eml
    EXPECT_EQ(Rows(), 0);
    EXPECT_EQ(Sql("SELECT count(*) FROM tblHistory"), QStringList{"4"});

    // An empty list: the delete ends in the logged error, without a question.
    MessageBox::ClearLog();
    const qsizetype errors = LogText().count("保存メール削除エラー：");
    form->DeleteSavedMail();
    EXPECT_TRUE(MessageBox::Log().isEmpty());
    EXPECT_EQ(LogText().count("保存メール削除エラー："), errors + 1);
}

TEST_F(Form3Test, ReplyDraftGoesToTheSenderWithTheQuotedBodyCutToFit)
{
    Add("e.eml", QString(), 1, BareAddresses("", QStringLiteral("長い本文の行です。").repeated(2000).toUtf8()));
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
    EXPECT_TRUE(body.endsWith(end) && !body.contains(lw::ui::ShortenedNotice()));

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
    odd.subject = "1+1=2 & more #3 100%", odd.fromAddress = "a+b@example.jp", odd.body = "x&body=injected";
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

} // namespace
