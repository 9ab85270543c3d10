// The password prompt, the password change dialog and the question on an untrusted certificate.
#include "config/ConnectionSecurity.h"
#include "config/PasswordLock.h"
#include "ui/CertificatePrompt.h"
#include "ui/ChangePasswordDialog.h"
#include "ui/PasswordPrompt.h"
#include "ui/UiTest.h"

using namespace lw;
using test::Find;
using ui::MessageBox;

namespace {

class Prompts : public test::ListTest {
  protected:
    void SetUp() override
    {
        ListTest::SetUp();
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_home.Path());
        ASSERT_TRUE(config::SeedLockPasswords());
    }
};

// The verdict of the password prompt after steps, which must close it, ran on it.
bool Prompt(const std::function<void(QWidget*, QLineEdit*, QPushButton*)>& steps)
{
    bool ran = false;
    QTimer::singleShot(0, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
        ran = true;
        steps(dialog, Find<QLineEdit>(*dialog, "TxtPwdP"), Find<QPushButton>(*dialog, "CmdOK"));
        if (dialog->isVisible()) ADD_FAILURE() << "dialog left open", dialog->close();
    });
    const bool verdict = ui::PasswordPrompt::Ask(nullptr);
    EXPECT_TRUE(ran);
    return verdict;
}

} // namespace

TEST_F(Prompts, PromptRefusesWrongPasswordsAndEveryWayOut)
{
    EXPECT_TRUE(Prompt([](QWidget* dialog, QLineEdit* field, QPushButton* ok) {
        EXPECT_EQ(field->echoMode(), QLineEdit::Password);
        field->setText("WVW");
        MessageBox::SetNextAnswer(MessageBox::Ok);
        QTest::keyClick(field, Qt::Key_Return); // Enter in the field presses OK
        EXPECT_EQ(MessageBox::Log(), QStringList{"パスワードが不正です。"});
        EXPECT_TRUE(dialog->isVisible() && field->hasFocus() && field->text().isEmpty())
            << "the refused entry is cleared for the next try";
        EXPECT_EQ(static_cast<QDialog*>(dialog)->result(), QDialog::Rejected) << "no verdict before OK";
        field->setText("WVW");
        MessageBox::SetNextAnswer(MessageBox::Ok);
        ok->setFocus();
        QTest::keyClick(ok, Qt::Key_Return); // a focused OK is pressed by Enter too
        field->setText("wvw");
        QTest::keyClick(field, Qt::Key_Return);
    }));

    // Cancel, closing and Escape refuse, even with the right password typed and an earlier acceptance.
    const std::function<void(QWidget*)> refusals[] = {[](QWidget* d) { test::Click(*d, "CmdCan"); },
                                                      [](QWidget* d) { d->close(); },
                                                      [](QWidget* d) { QTest::keyClick(d, Qt::Key_Escape); }};
    for (const auto& refuse : refusals)
        EXPECT_FALSE(Prompt([&](auto* d, QLineEdit* pw, auto*) { QTest::keyClicks(pw, "wvw"), refuse(d); }));
}

TEST_F(Prompts, ChangeDialogChecksTheCurrentAndTheNewPasswordsAndAStoreThatCannotBeWrittenIsTold)
{
    ui::ChangePasswordDialog dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    auto* current = Find<QLineEdit>(dialog, "TxtPwdP");
    auto* first = Find<QLineEdit>(dialog, "TxtPwdO_0");
    auto* second = Find<QLineEdit>(dialog, "TxtPwdO_1");
    for (QLineEdit* field : {current, first, second})
        EXPECT_TRUE(field->echoMode() == QLineEdit::Password && field->maxLength() == 8);
    // Fills the fields and runs step on focus: exactly text is shown, emptied is emptied and focused.
    const auto refused = [&](const char* now, const char* fresh, const char* again, QLineEdit* focus,
                             auto step, const char* text, QLineEdit* emptied) {
        current->setText(now), first->setText(fresh), second->setText(again);
        focus->setFocus();
        const qsizetype before = MessageBox::Log().size();
        MessageBox::SetNextAnswer(MessageBox::Ok);
        step(focus);
        EXPECT_EQ(MessageBox::Log().mid(before), QStringList{QString::fromUtf8(text)});
        EXPECT_TRUE(emptied->text().isEmpty() && emptied->hasFocus() && dialog.isVisible()) << text;
    };
    const auto leave = [](QLineEdit* field) { QTest::keyClick(field, Qt::Key_Tab); };
    const auto enter = [](QLineEdit* field) { QTest::keyClick(field, Qt::Key_Return); };
    const auto clickOk = [&dialog](QLineEdit*) { test::Click(dialog, "CmdOk"); };

    // A wrong current password is refused when the field is left, and at OK; an empty one is not
    // checked on leaving. Unequal new passwords are refused at Enter; empty ones at OK.
    refused("nope", "", "", current, leave, "パスワードが不正です。", current);
    leave(current);
    EXPECT_TRUE(first->hasFocus());
    // That refusal answered a leave by keyboard, not a click: the next OK is checked and says so.
    refused("", "zz", "zz", current, clickOk, "パスワードが不正です。", current);
    refused("wvw", "abc", "abd", second, enter, "新規パスワードが不正です。", first);
    EXPECT_TRUE(second->text().isEmpty());
    refused("wvw", "", "", current, clickOk, "新規パスワードを入力してください。", first);
    refused("nope", "zz", "zz", current, clickOk, "パスワードが不正です。", current);

    // Cancel stores nothing, even with valid fields.
    current->setText("wvw"), first->setText("other"), second->setText("other");
    test::Click(dialog, "CmdCan");
    EXPECT_EQ(config::GetSecret(config::kUserEntry), "wvw");

    // The master password may stand as the current one; Enter in the last field presses OK, and
    // the change is confirmed. The store holding the passwords is its owner's alone.
    dialog.show();
    current->setText("pqvex"), first->setText("Neu8"), second->setText("Neu8");
    MessageBox::SetNextAnswer(MessageBox::Ok);
    enter(second);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(MessageBox::Log().mid(5), QStringList{"パスワードを変更しました。"});
    EXPECT_EQ(config::GetSecret(config::kUserEntry), "Neu8");
    const QString store = QSettings(QSettings::UserScope, "larchwatcher", "larchwatcher").fileName();
    EXPECT_EQ(QFileInfo(store).permissions(),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);

    // A store that cannot be written (a file where its folder should be) is told at start.
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QFile(elsewhere.filePath("larchwatcher")).open(QIODevice::WriteOnly));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, elsewhere.path());
    MessageBox::SetNextAnswer(MessageBox::Ok);
    ui::SeedLockPasswords(nullptr);
    EXPECT_EQ(MessageBox::Log().mid(6), QStringList{config::kStoreNotWritableMessage});
}

TEST_F(Prompts, CertificateQuestionShowsItAndYesTrustsExactlyItForItsServer)
{
    engine::RefusedCertificate refused;
    refused.server = {"pop3", "192.0.2.7", 995, "box"};
    refused.certificate = {"CN=mail.office.example,O=事務所", "CN=mail.office.example,O=事務所",
                           "2026-01-01 00:00:00 UTC", "2027-01-01 00:00:00 UTC", "11:22:33:44:55:66",
                           "self-signed certificate"};
    MessageBox::SetNextAnswer(MessageBox::No);
    EXPECT_FALSE(ui::OfferToTrust(nullptr, m_home.Path(), refused));
    EXPECT_EQ(config::ConnectionSecurity::Load(m_home.Path()).PinnedFingerprint("192.0.2.7", 995), "");
    const QString asked = MessageBox::Log().value(0);
    for (const char* part :
         {"192.0.2.7:995（POP3）", "self-signed certificate", "主体: CN=mail.office.example,O=事務所",
          "発行者: CN=", "2026-01-01 00:00:00 UTC ～ 2027-01-01 00:00:00 UTC", "SHA-256: 11:22:33"})
        EXPECT_TRUE(asked.contains(QString::fromUtf8(part))) << part << " missing in " << asked;
    EXPECT_FALSE(asked.contains("信頼済み"));

    MessageBox::SetNextAnswer(MessageBox::Yes);
    EXPECT_TRUE(ui::OfferToTrust(nullptr, m_home.Path(), refused));
    const config::ConnectionSecurity security = config::ConnectionSecurity::Load(m_home.Path());
    EXPECT_EQ(security.PinnedFingerprint("192.0.2.7", 995).toStdString(), refused.certificate.fingerprint);

    // A certificate that replaced the trusted one names both fingerprints.
    refused.pinnedFingerprint = "AA:AA";
    EXPECT_TRUE(ui::TrustQuestionText(refused).contains("信頼済み SHA-256: AA:AA"));
}
