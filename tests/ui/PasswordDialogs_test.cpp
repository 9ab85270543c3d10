#include "config/PasswordLock.h"
#include "ui/FrmPwck.h"
#include "ui/FrmXpass.h"
#include "ui/MessageBox.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace lw;
using ui::MessageBox;

namespace {

class PasswordDialogs : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
        config::SeedLockPasswords();
        MessageBox::ClearLog();
    }
    void TearDown() override { MessageBox::ClearLog(); }

    QTemporaryDir m_dir;
};

template <typename T>
T* Child(QWidget* dialog, const char* name)
{
    T* widget = dialog->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

// Runs steps on the modal dialog that open() shows, once it is up; the steps must close it.
void WithModal(const std::function<void(QWidget*)>& steps, const std::function<void()>& open)
{
    bool ran = false;
    QTimer::singleShot(0, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_NE(dialog, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
        ran = true;
        steps(dialog);
        if (dialog->isVisible()) {
            ADD_FAILURE() << "dialog left open";
            dialog->close();
        }
    });
    open();
    EXPECT_TRUE(ran);
}

void PressEnter(QWidget* widget) { QTest::keyClick(widget, Qt::Key_Return); }

// The current password and the new one twice.
void Fill(QWidget* dialog, const char* current, const char* fresh)
{
    Child<QLineEdit>(dialog, "TxtPwdP")->setText(current);
    Child<QLineEdit>(dialog, "TxtPwdO_0")->setText(fresh);
    Child<QLineEdit>(dialog, "TxtPwdO_1")->setText(fresh);
}

} // namespace

TEST_F(PasswordDialogs, PromptRefusesWrongPasswordsAndEveryWayOut)
{
    bool verdict = false;
    const auto ask = [&verdict] { verdict = ui::FrmPwck::Ask(nullptr); };
    WithModal(
        [](QWidget* dialog) {
            EXPECT_EQ(dialog->windowTitle(), QStringLiteral("パスワード認証"));
            auto* field = Child<QLineEdit>(dialog, "TxtPwdP");
            auto* ok = Child<QPushButton>(dialog, "CmdOK");
            EXPECT_EQ(field->echoMode(), QLineEdit::Password);
            QTest::keyClicks(field, "abcdefghij");
            EXPECT_EQ(field->text(), QStringLiteral("abcdefgh")) << "at most 8 characters";
            field->setText("WVW");
            PressEnter(field);
            EXPECT_TRUE(dialog->isVisible() && ok->hasFocus()) << "Enter only moves the focus";
            EXPECT_TRUE(MessageBox::Log().isEmpty());

            MessageBox::SetNextAnswer(MessageBox::Ok);
            PressEnter(ok); // a focused OK is pressed by Enter
            EXPECT_EQ(MessageBox::Log(), QStringList{QStringLiteral("パスワードが不正です。")});
            EXPECT_TRUE(dialog->isVisible() && field->hasFocus());
            EXPECT_EQ(field->text(), QStringLiteral("WVW")) << "the wrong text is kept";
            EXPECT_FALSE(ui::LockAccepted());
            field->setText("wvw");
            QTest::mouseClick(ok, Qt::LeftButton);
        },
        ask);
    EXPECT_TRUE(verdict);
    EXPECT_TRUE(ui::LockAccepted());

    // Every showing starts empty; an empty text is refused, the master password opens it.
    WithModal(
        [](QWidget* dialog) {
            auto* field = Child<QLineEdit>(dialog, "TxtPwdP");
            EXPECT_TRUE(field->text().isEmpty());
            MessageBox::SetNextAnswer(MessageBox::Ok);
            QTest::mouseClick(Child<QPushButton>(dialog, "CmdOK"), Qt::LeftButton);
            EXPECT_TRUE(dialog->isVisible());
            QTest::keyClicks(field, "pqvex");
            QTest::mouseClick(Child<QPushButton>(dialog, "CmdOK"), Qt::LeftButton);
        },
        ask);
    EXPECT_TRUE(verdict);

    // Cancel, closing and Escape refuse, even with the right password typed and an earlier acceptance.
    const std::function<void(QWidget*)> refusals[] = {
        [](QWidget* d) { QTest::mouseClick(Child<QPushButton>(d, "CmdCan"), Qt::LeftButton); },
        [](QWidget* d) { d->close(); },
        [](QWidget* d) { QTest::keyClick(d, Qt::Key_Escape); },
    };
    for (const auto& refuse : refusals) {
        WithModal(
            [&refuse](QWidget* dialog) {
                QTest::keyClicks(Child<QLineEdit>(dialog, "TxtPwdP"), "wvw");
                refuse(dialog);
            },
            ask);
        EXPECT_FALSE(verdict);
    }
}

TEST_F(PasswordDialogs, ChangeDialogChecksTheCurrentAndTheNewPasswords)
{
    auto dialog = std::make_unique<ui::FrmXpass>();
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("パスワード変更"));
    auto* current = Child<QLineEdit>(dialog.get(), "TxtPwdP");
    auto* first = Child<QLineEdit>(dialog.get(), "TxtPwdO_0");
    auto* second = Child<QLineEdit>(dialog.get(), "TxtPwdO_1");
    auto* ok = Child<QPushButton>(dialog.get(), "CmdOk");
    for (QLineEdit* field : {current, first, second})
        EXPECT_TRUE(field->echoMode() == QLineEdit::Password && field->maxLength() == 8);
    // Runs action, which must show exactly the message text.
    const auto refused = [](const std::function<void()>& action, const char* text) {
        const qsizetype before = MessageBox::Log().size();
        MessageBox::SetNextAnswer(MessageBox::Ok);
        action();
        EXPECT_EQ(MessageBox::Log().mid(before), QStringList{QString::fromUtf8(text)});
    };

    // A wrong current password is refused when the field is left; an empty one is not checked.
    current->setFocus();
    QTest::keyClicks(current, "nope");
    refused([&] { QTest::keyClick(current, Qt::Key_Tab); }, "パスワードが不正です。");
    EXPECT_TRUE(current->text().isEmpty() && current->hasFocus());
    QTest::keyClick(current, Qt::Key_Tab);
    EXPECT_TRUE(first->hasFocus());
    EXPECT_EQ(MessageBox::Log().size(), 1);

    // Enter moves on; unequal new passwords are refused and emptied, equal ones move on to OK.
    current->setFocus();
    QTest::keyClicks(current, "wvw");
    PressEnter(current);
    QTest::keyClicks(first, "abc");
    PressEnter(first);
    EXPECT_TRUE(second->hasFocus());
    QTest::keyClicks(second, "abd");
    refused([&] { PressEnter(second); }, "新規パスワードが不正です。");
    EXPECT_TRUE(first->text().isEmpty() && second->text().isEmpty() && first->hasFocus());
    QTest::keyClicks(first, "abc");
    PressEnter(first);
    QTest::keyClicks(second, "abc");
    PressEnter(second);
    EXPECT_TRUE(ok->hasFocus());

    // OK with both new fields empty, then with a wrong current password: nothing is stored.
    first->clear();
    second->clear();
    refused([&] { QTest::mouseClick(ok, Qt::LeftButton); }, "新規パスワードを入力してください。");
    Fill(dialog.get(), "nope", "zz");
    refused([&] { QTest::mouseClick(ok, Qt::LeftButton); }, "パスワードが不正です。");
    EXPECT_TRUE(current->text().isEmpty() && dialog->isVisible());
    EXPECT_EQ(config::GetSecret(config::kUserEntry), QStringLiteral("wvw"));

    // The master password may stand as the current one; the new password is stored silently.
    Fill(dialog.get(), "pqvex", "Neu8");
    QTest::mouseClick(ok, Qt::LeftButton);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(MessageBox::Log().size(), 4) << "no confirmation message";
    EXPECT_EQ(config::GetSecret(config::kUserEntry), QStringLiteral("Neu8"));

    // Cancel stores nothing, even with valid fields.
    dialog = std::make_unique<ui::FrmXpass>();
    dialog->show();
    Fill(dialog.get(), "Neu8", "other");
    QTest::mouseClick(Child<QPushButton>(dialog.get(), "CmdCan"), Qt::LeftButton);
    EXPECT_EQ(config::GetSecret(config::kUserEntry), QStringLiteral("Neu8"));
}
