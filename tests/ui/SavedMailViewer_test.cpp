// The saved-mail viewer on a real list database made from the template, with saved copies.
#include "ui/SavedMailViewer.h"

#include "store/FindOrAdd.h"
#include "ui/MailClient.h"
#include "ui/UiTest.h"

#include <QPlainTextEdit>
#include <QProcessEnvironment>

namespace {

using namespace lw;
using ui::MessageBox;
using ui::OpenedFile;
using Opened = QList<QPair<QString, OpenedFile>>;

struct FakeMailClient final : ui::MailClient {
    bool Compose(const QUrl& mailto, QString&) override { return drafts.append(mailto), true; }
    void Open(const QString& path, OpenedFile kind, QWidget*) override { opened.append({path, kind}); }
    QList<QUrl> drafts;
    Opened opened;
};

// From 山田 太郎 to 総務課, subject 見積書の送付, with two attachments.
QByteArray WithNamesAndAttachments()
{
    return "From: =?UTF-8?B?5bGx55SwIOWkqumDjg==?= <taro@example.jp>\r\n"
           "To: =?UTF-8?B?57eP5YuZ6Kqy?= <soumu@example.jp>\r\n"
           "Subject: =?UTF-8?B?6KaL56mN5pu444Gu6YCB5LuY?=\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=b1\r\n\r\n--b1\r\n"
           "Content-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
           "お世話になっております。\r\n見積書を添付します。\r\n--b1\r\n"
           "Content-Disposition: attachment; filename=memo.txt\r\n\r\nmemo\r\n--b1\r\n"
           "Content-Disposition: attachment; filename=quote.pdf\r\n\r\n%PDF-1.4\r\n--b1--\r\n";
}

QByteArray BareAddresses(const QByteArray& subject, const QByteArray& body)
{
    return "From: plain@example.com\r\nTo: office@example.jp\r\nSubject: " + subject +
           "\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\n" + body + "\r\n";
}

class SavedMailViewerTest : public test::ListTest {
  protected:
    void SetUp() override
    {
        ListTest::SetUp();
        settings.programFolder = m_home.Folder();
        Add("a.eml", "見積書の送付", 0, WithNamesAndAttachments());
        // A body naming a file of the program folder; the received file is gone.
        Add("b.eml", "plain", -1, BareAddresses("plain", "file:" + Secret().toUtf8()), "rsc");
        Add("c.eml", "gone", -2, BareAddresses("gone", "x"), "s"); // saved copy gone
        Add("d.eml", "not saved", 1, BareAddresses("n", "n"), "rf");
    }

    // kind: r the received file recorded, f and present; s saved, c with its copy present.
    void Add(const QString& id, const QString& subject, int days, const QByteArray& message,
             const QString& kind = "rfsc")
    {
        const QString work = saveFolder + "/work/" + id, save = saveFolder + u'/' + id;
        if (kind.contains(u'f')) test::WriteFile(saveFolder + "/work", id, message);
        if (kind.contains(u'c')) test::WriteFile(save, message);
        const bool saved = kind.contains(u's');
        Sql("INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 件名, 送信アドレス, 送信アドレス名, "
            "受信日, メール保存, メール保存先パス) VALUES (?, ?, ?, 'x@example.jp', 'x', ?, ?, ?)",
            {id, kind.contains(u'r') ? work : QString(""), subject,
             store::ToStoredDateTime(day.addDays(days)), saved ? 1 : 0, saved ? save : QString()});
    }
    QString Secret() const { return m_home.File("larchwatcher.ini"); }
    QStringList Errors() const
    {
        return test::LogEntries(settings.programFolder, settings.logBaseName)
            .filter(QRegularExpression("^保存メール削除エラー："));
    }

    void Open()
    {
        form = std::make_unique<ui::SavedMailViewer>([this] { return settings; }, client);
        form->SetPreview([this](const ui::NoticeReport& notice, QWidget*) { shown << notice.Body(); });
        form->show();
        grid = test::Find<QTableView>(*form, "DBGrid1");
    }
    QPoint Select(int row)
    {
        const QPoint at = grid->visualRect(grid->model()->index(row, 0)).center();
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, at);
        return at;
    }
    void Delete(MessageBox::Answer reply) { MessageBox::SetNextAnswer(reply), test::Click(*form, "cmdDel"); }
    template <typename T> T* Child(const char* name) { return test::Find<T>(*form, name); }
    // The title, the body and the attachment line.
    QStringList Preview()
    {
        return {Child<QPlainTextEdit>("txtTitle")->toPlainText(),
                Child<QPlainTextEdit>("txtBody")->toPlainText(), Child<QLineEdit>("txtFile")->text()};
    }
    // The grid's column, top to bottom (2: the subjects, 3: the dates).
    QStringList Column(int column)
    {
        QStringList cells;
        for (int row = 0; row < grid->model()->rowCount(); ++row)
            cells << grid->model()->index(row, column).data().toString();
        return cells;
    }
    // Whether 印刷, 削除 and 返信 are enabled.
    QList<bool> Enabled()
    {
        return {Child<QPushButton>("cmdRead")->isEnabled(), Child<QPushButton>("cmdDel")->isEnabled(),
                Child<QPushButton>("cmdMail")->isEnabled()};
    }

    const QDateTime day{QDate(2026, 12, 7), QTime(9, 15, 0)};
    config::SettingsRecord settings;
    QString saveFolder = m_home.File("mail");
    FakeMailClient client;
    QStringList shown; // notices previewed
    std::unique_ptr<ui::SavedMailViewer> form;
    QTableView* grid = nullptr;
};

TEST_F(SavedMailViewerTest, ListsSavedMailNewestFirstPreviewsPrintsAndOpensTheChosenOneOrSaysWhatToDo)
{
    Add("f.eml", "neither", -3, BareAddresses("neither", "x"), "rs"); // received file and saved copy gone
    // A docomo phone's mail in Shift_JIS: a heart in the subject (82A0 F991), sun and heart in the body.
    const QByteArray sjis =
        "From: taro@docomo.ne.jp\r\nTo: office@example.jp\r\nSubject: =?Shift_JIS?B?gqD5kQ==?=\r\n"
        "Content-Type: text/plain; charset=Shift_JIS\r\n\r\n\xF8\x9F\x82\xa0\xF9\x91\r\n";
    Add("g.eml", "emoji", -4, sjis);
    Open();

    // Saved rows only, newest first; the date in the system's text form.
    EXPECT_EQ(Column(2), (QStringList{"見積書の送付", "plain", "gone", "neither", "emoji"}));
    EXPECT_EQ(Column(3).value(0), "2026/12/07 09:15:00");
    Select(0);
    EXPECT_EQ(Enabled(), (QList<bool>{true, true, true}));
    EXPECT_EQ(Preview(),
              (QStringList{"送信者：山田 太郎 宛先：総務課\n件名：見積書の送付",
                           "お世話になっております。\n見積書を添付します。", "添付：memo.txt, quote.pdf"}));
    const QString files = saveFolder + "/a.eml.files/"; // the message's own folder
    EXPECT_EQ(form->AttachmentPaths(), (QStringList{files + "memo.txt", files + "quote.pdf"}));
    form->OpenAttachment(1);
    form->OpenAttachment(2);
    EXPECT_EQ(client.opened, (Opened{{files + "quote.pdf", OpenedFile::Attachment}}));
    form->ComposeReply();
    EXPECT_EQ(client.drafts, QList<QUrl>{ui::ReplyUrl(form->ReadSavedMail(0))});
    // Read again, the message uses the files it has there: nothing piles up.
    Select(1);
    Select(0);
    EXPECT_EQ(QDir(files).entryList(QDir::Files), (QStringList{"memo.txt", "quote.pdf"}));
    form->PrintSavedMail(); // a notice without the recipient
    EXPECT_EQ(shown, QStringList{form->MailText()});
    EXPECT_TRUE(form->MailText().startsWith("subject:見積書の送付\r\nfrom:")) << form->MailText();
    EXPECT_FALSE(form->MailText().contains("\r\nto:"));

    // Without display names the addresses stand in; a body naming a file is only body: no
    // attachment to list or open. Its received file is gone: the notice comes from the saved copy.
    test::WriteFile(Secret(), "poppassword=secret");
    Select(1);
    EXPECT_EQ(Preview(), (QStringList{"送信者：plain@example.com 宛先：office@example.jp\n件名：plain",
                                      "file:" + Secret(), ""}));
    form->OpenAttachment(0);
    EXPECT_EQ(client.opened.size(), 1);
    form->PrintSavedMail();
    EXPECT_TRUE(shown.last().startsWith("subject:plain\r\nfrom:plain@example.com")) << shown.last();
    // Neither the received file nor the saved copy: printing says so.
    Select(3);
    MessageBox::SetNextAnswer(MessageBox::Ok);
    form->PrintSavedMail();
    EXPECT_EQ(MessageBox::Log(), QStringList{"ファイルが存在しません。"});

    // A saved copy that is gone: empty fields, no reply; no received file recorded: no print at all.
    Select(2);
    EXPECT_EQ(Preview(), (QStringList{"送信者： 宛先：\n件名：", "", ""}));
    EXPECT_EQ(Enabled(), (QList<bool>{true, true, false}));
    form->PrintSavedMail();
    EXPECT_EQ(MessageBox::Log().size() + shown.size(), 3);

    // Carrier emoji show as standard emoji on screen and on paper but stay in the text.
    Select(4);
    EXPECT_EQ(Preview(),
              (QStringList{u"送信者：taro@docomo.ne.jp 宛先：office@example.jp\n件名：あ❤\uFE0F"_qs,
                           u"☀\uFE0Fあ❤\uFE0F"_qs, ""}));
    form->PrintSavedMail();
    EXPECT_TRUE(shown.last().contains(u"body:☀\uFE0Fあ❤\uFE0F"_qs)) << shown.last();
    EXPECT_TRUE(form->MailText().contains(QString(QChar(0xE63E)) + u"あ"_qs + QChar(0xE6EC)));
    EXPECT_EQ(test::ReadFile(saveFolder + "/g.eml"), sjis);

    // A double click on a row hands its saved copy to the mail program; a copy that is gone is said.
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, Select(0));
    EXPECT_EQ(client.opened.mid(1), (Opened{{saveFolder + "/a.eml", OpenedFile::SavedMail}}))
        << MessageBox::Log();
    MessageBox::SetNextAnswer(MessageBox::Ok);
    form->OpenSavedCopy(2); // c.eml
    EXPECT_EQ(MessageBox::Log().mid(1), QStringList{"ファイルが存在しません。\r\n" + saveFolder + "/c.eml"});

    // The desktop's own opener, in a desktop of our making: a text editor registered for the log,
    // a PDF program that fails at once, nothing for mail files.
    for (const char* fallback : {"run-mailcap", "mimeopen"})
        if (!QStandardPaths::findExecutable(fallback).isEmpty())
            GTEST_SKIP() << fallback << " would open what the desktop has no program for";
    QTemporaryDir desktop;
    const auto program = [&](const QString& name, const QByteArray& script) {
        const QString path = test::WriteFile(desktop.path(), name + ".sh", "#!/bin/sh\n" + script + "\n");
        QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
        test::WriteFile(desktop.filePath("data/applications"), name + ".desktop",
                        "[Desktop Entry]\nType=Application\nName=" + name.toUtf8() +
                            "\nExec=" + path.toUtf8() + " %f\n");
    };
    program("editor", "cp \"$1\" \"$1.opened\"");
    program("broken", "exit 1");
    test::WriteFile(desktop.filePath("config"), "mimeapps.list",
                    "[Default Applications]\ntext/plain=editor.desktop\napplication/pdf=broken.desktop\n");
    const QString data = desktop.filePath("data"), config = desktop.filePath("config");
    const QList<QPair<const char*, QString>> environment{
        {"XDG_DATA_HOME", data},     {"XDG_DATA_DIRS", data}, {"XDG_CONFIG_HOME", config},
        {"XDG_CONFIG_DIRS", config}, {"DISPLAY", ":lw-test"}, {"BROWSER", "lw-no-browser"},
        {"XDG_CURRENT_DESKTOP", ""}, {"DESKTOP_SESSION", ""}};
    const QProcessEnvironment before = QProcessEnvironment::systemEnvironment();
    const auto restore = qScopeGuard([&] {
        for (const auto& [name, value] : environment)
            before.contains(name) ? qputenv(name, before.value(name).toUtf8()) : qunsetenv(name);
    });
    for (const auto& [name, value] : environment)
        qputenv(name, value.toUtf8());

    const QString log = test::WriteFile(m_home.Path(), "log202612.txt", "メール印刷\n");
    ui::OpenWithDesktop(log, OpenedFile::Log, form.get());
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(log + ".opened"); }, 10000));
    const QString pdf = form->AttachmentPaths().value(1), mail = saveFolder + "/a.eml";
    for (const auto& [file, kind] : {std::pair{pdf, OpenedFile::Attachment}, {mail, OpenedFile::SavedMail}}) {
        MessageBox::SetNextAnswer(MessageBox::Ok);
        ui::DesktopMailClient().Open(file, kind, form.get());
    }
    ASSERT_TRUE(QTest::qWaitFor([] { return MessageBox::Log().size() == 4; }, 10000)) << MessageBox::Log();
    const QStringList said = MessageBox::Log().mid(2);
    EXPECT_TRUE(said.contains(ui::OpenFailureText(OpenedFile::Attachment, true, pdf)) &&
                said.contains(ui::OpenFailureText(OpenedFile::SavedMail, false, mail)))
        << said;
    EXPECT_TRUE(said.join("|").contains("添付ファイルを開くプログラムを起動できませんでした。\r\n") &&
                said.join("|").contains(
                    "保存メールを開くメールソフトが登録されていません。\r\n既定のメールソフトを設定するか"));
}

TEST_F(SavedMailViewerTest, DeleteAsksThenClearsTheMarksOnlyWhenTheCopyIsGone)
{
    const QString save = saveFolder + u'/';
    // An attachment copy of each, as older versions saved them beside the message.
    Sql("INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名, 添付ファイル保存先パス) VALUES "
        "('a.eml', 'memo.txt', ?), ('b.eml', 'x.txt', ?)",
        {save + "memo.txt", save + "x.txt"});
    test::WriteFile(save + "memo.txt", "copy");
    Open();
    Select(0);

    // No: nothing changes; the list is reloaded and the preview emptied.
    Delete(MessageBox::No);
    EXPECT_EQ(MessageBox::Log(), QStringList{"保存メールを削除します。よろしいですか。"});
    EXPECT_TRUE(Column(2).size() == 3 && QFile::exists(save + "a.eml") && Preview() == QStringList(3, ""));

    // Every reload is as the viewer opens: no current row and the buttons off, so a second 削除
    // and はい can never delete a row the operator did not pick.
    const auto asOpened = [this] { return Enabled() == QList<bool>(3, false) && form->CurrentRow() == -1; };
    Select(2); // c.eml, whose saved copy is already gone: it leaves the list without complaint
    Delete(MessageBox::Yes);
    EXPECT_EQ(Column(2), (QStringList{"見積書の送付", "plain"}));
    EXPECT_TRUE(asOpened() && MessageBox::PendingAnswers() == 0);
    Delete(MessageBox::Yes);
    EXPECT_EQ(MessageBox::PendingAnswers(), 1) << "削除 acted with no row picked";
    EXPECT_TRUE(Column(2).size() == 2 && QFile::exists(save + "a.eml"));
    MessageBox::ClearLog();
    Select(0);

    // Yes on the picked row: the saved copy and its attachment copies go, the received one stays.
    Delete(MessageBox::Yes);
    EXPECT_EQ(Column(2), QStringList{"plain"});
    EXPECT_TRUE(!QFile::exists(save + "a.eml") && QFile::exists(save + "work/a.eml"));
    EXPECT_EQ(Sql("SELECT メール保存 FROM tblHistory WHERE 保存ファイルID = 'a.eml'"), QStringList{"0"});
    EXPECT_EQ(Sql("SELECT メール保存先パス FROM tblHistory WHERE 保存ファイルID = 'a.eml'"), QStringList{""});
    EXPECT_FALSE(QFile::exists(save + "memo.txt") || QFileInfo::exists(save + "a.eml.files"));

    // A copy that cannot be removed (a folder in its place): row unchanged, error logged.
    ASSERT_TRUE(QFile::remove(save + "b.eml") && QDir().mkpath(save + "b.eml/inner"));
    Select(0);
    Delete(MessageBox::Yes);
    EXPECT_TRUE(Column(2).size() == 1 && Errors().size() == 1);
    EXPECT_EQ(Sql("SELECT 添付ファイル保存先パス FROM tblHistoryFiles WHERE 保存ファイルID = 'b.eml'"),
              QStringList{save + "x.txt"});
    ASSERT_TRUE(QDir(save + "b.eml").removeRecursively());
    Select(0);
    Delete(MessageBox::Yes);
    EXPECT_EQ(Column(2).size(), 0);

    // An empty list: the delete ends in the logged error, without a question.
    const qsizetype asked = MessageBox::Log().size();
    form->DeleteSavedMail();
    EXPECT_TRUE(MessageBox::Log().size() == asked && Errors().size() == 2);
}

// To the sender, the body between the frame lines; characters that separate URL fields stay part of
// the text; an empty subject gives "Re: "; a long body is cut just enough to fit, saying so.
TEST(ReplyUrl, QuotesTheBodyKeepsFieldSeparatorsAsTextAndCutsALongBodyToFit)
{
    const QString end = "\r\n-------------- Original Message End --------------";
    const auto item = [](const QUrl& url, const char* key) {
        return QUrlQuery(url).queryItemValue(key, QUrl::FullyDecoded);
    };
    mail::ReceivedMail odd;
    odd.subject = "1+1=2 & more #3 100%";
    odd.fromAddress = "a+b@example.jp";
    odd.body = "x&body=injected";
    const QUrl oddUrl = ui::ReplyUrl(odd);
    EXPECT_EQ(oddUrl.scheme() + ':' + oddUrl.path(), "mailto:a+b@example.jp");
    EXPECT_EQ(item(oddUrl, "subject"), "Re: 1+1=2 & more #3 100%");
    EXPECT_EQ(item(oddUrl, "body"), "---------------- Original Message ----------------\r\nx&body=injected" + end);

    mail::ReceivedMail longMail;
    longMail.fromAddress = "taro@example.jp";
    longMail.body = QStringLiteral("長い本文の行です。").repeated(2000);
    const QUrl cut = ui::ReplyUrl(longMail);
    const auto size = cut.toEncoded().size();
    EXPECT_TRUE(size <= ui::kMaxReplyUrlLength && size > ui::kMaxReplyUrlLength - 100) << size;
    EXPECT_EQ(item(cut, "subject"), "Re: ");
    EXPECT_TRUE(item(cut, "body").contains("長い本文の行です。長い") &&
                item(cut, "body").endsWith(ui::ShortenedNotice() + end));
}

} // namespace
