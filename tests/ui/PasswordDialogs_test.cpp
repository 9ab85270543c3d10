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

void PressEnter(QWidget* widget)
{
    QTest::keyClick(widget, Qt::Key_Return);
}

} // namespace

TEST_F(PasswordDialogs, PromptKeepsItsTextOnAWrongPasswordAndAcceptsTheRightOne)
{
    bool verdict = false;
    WithModal(
        [](QWidget* dialog) {
            EXPECT_EQ(dialog->windowTitle(), QStringLiteral("パスワード認証"));
            auto* field = Child<QLineEdit>(dialog, "TxtPwdP");
            auto* ok = Child<QPushButton>(dialog, "CmdOK");
            EXPECT_EQ(field->echoMode(), QLineEdit::Password);
            QTest::keyClicks(field, "abcdefghij");
            EXPECT_EQ(field->text(), QStringLiteral("abcdefgh")) << "at most 8 characters";
            field->clear();

            QTest::keyClicks(field, "WVW");
            PressEnter(field);
            EXPECT_TRUE(dialog->isVisible()) << "Enter only moves the focus";
            EXPECT_TRUE(ok->hasFocus());
            EXPECT_TRUE(MessageBox::Log().isEmpty());

            MessageBox::SetNextAnswer(MessageBox::Ok);
            PressEnter(ok);  // a focused OK is pressed by Enter
            EXPECT_EQ(MessageBox::Log(), QStringList{QStringLiteral("パスワードが不正です。")});
            EXPECT_TRUE(dialog->isVisible());
            EXPECT_EQ(field->text(), QStringLiteral("WVW"));
            EXPECT_TRUE(field->hasFocus());
            EXPECT_FALSE(ui::LockAccepted());

            field->clear();
            QTest::keyClicks(field, "wvw");
            QTest::mouseClick(ok, Qt::LeftButton);
        },
        [&] { verdict = ui::FrmPwck::Ask(nullptr); });
    EXPECT_TRUE(verdict);
    EXPECT_TRUE(ui::LockAccepted());

    // The master password opens it as well; an empty text does not.
    WithModal(
        [](QWidget* dialog) {
            auto* field = Child<QLineEdit>(dialog, "TxtPwdP");
            EXPECT_TRUE(field->text().isEmpty()) << "every showing starts empty";
            MessageBox::SetNextAnswer(MessageBox::Ok);
            QTest::mouseClick(Child<QPushButton>(dialog, "CmdOK"), Qt::LeftButton);
            EXPECT_TRUE(dialog->isVisible());
            QTest::keyClicks(field, "pqvex");
            QTest::mouseClick(Child<QPushButton>(dialog, "CmdOK"), Qt::LeftButton);
        },
        [&] { verdict = ui::FrmPwck::Ask(nullptr); });
    EXPECT_TRUE(verdict);
}

TEST_F(PasswordDialogs, CancelAndCloseRefuseEvenAfterAnEarlierAcceptance)
{
    bool verdict = true;
    WithModal(
        [](QWidget* dialog) {
            QTest::keyClicks(Child<QLineEdit>(dialog, "TxtPwdP"), "wvw");
            QTest::mouseClick(Child<QPushButton>(dialog, "CmdOK"), Qt::LeftButton);
        },
        [&] { verdict = ui::FrmPwck::Ask(nullptr); });
    ASSERT_TRUE(verdict);

    WithModal(
        [](QWidget* dialog) {
            QTest::keyClicks(Child<QLineEdit>(dialog, "TxtPwdP"), "wvw");
            QTest::mouseClick(Child<QPushButton>(dialog, "CmdCan"), Qt::LeftButton);
        },
        [&] { verdict = ui::FrmPwck::Ask(nullptr); });
    EXPECT_FALSE(verdict);

    WithModal(
        [](QWidget* dialog) {
            QTest::keyClicks(Child<QLineEdit>(dialog, "TxtPwdP"), "wvw");
            dialog->close();
        },
        [&] { verdict = ui::FrmPwck::Ask(nullptr); });
    EXPECT_FALSE(verdict);

    WithModal([](QWidget* dialog) { QTest::keyClick(dialog, Qt::Key_Escape); },
              [&] { verdict = ui::FrmPwck::Ask(nullptr); });
    EXPECT_FALSE(verdict);
}

TEST_F(PasswordDialogs, ChangeDialogMovesOnEnterAndRefusesUnequalOrEmptyNewPasswords)
{
    ui::FrmXpass dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("パスワード変更"));
    auto* current = Child<QLineEdit>(&dialog, "TxtPwdP");
    auto* first = Child<QLineEdit>(&dialog, "TxtPwdO_0");
    auto* second = Child<QLineEdit>(&dialog, "TxtPwdO_1");
    auto* ok = Child<QPushButton>(&dialog, "CmdOk");
    for (QLineEdit* field : {current, first, second}) {
        EXPECT_EQ(field->echoMode(), QLineEdit::Password);
        EXPECT_EQ(field->maxLength(), 8);
    }

    current->setFocus();
    QTest::keyClicks(current, "wvw");
    PressEnter(current);
    EXPECT_TRUE(first->hasFocus());
    QTest::keyClicks(first, "abc");
    PressEnter(first);
    EXPECT_TRUE(second->hasFocus());
    QTest::keyClicks(second, "abd");
    MessageBox::SetNextAnswer(MessageBox::Ok);
    PressEnter(second);
    EXPECT_EQ(MessageBox::Log(), QStringList{QStringLiteral("新規パスワードが不正です。")});
    EXPECT_TRUE(first->text().isEmpty());
    EXPECT_TRUE(second->text().isEmpty());
    EXPECT_TRUE(first->hasFocus());

    QTest::keyClicks(first, "abc");
    PressEnter(first);
    QTest::keyClicks(second, "abc");
    PressEnter(second);
    EXPECT_TRUE(ok->hasFocus()) << "equal new passwords move on to OK";

    // OK with both new fields empty.
    first->clear();
    second->clear();
    MessageBox::ClearLog();
    MessageBox::SetNextAnswer(MessageBox::Ok);
    QTest::mouseClick(ok, Qt::LeftButton);
    EXPECT_EQ(MessageBox::Log(), QStringList{QStringLiteral("新規パスワードを入力してください。")});
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(config::GetSecret(config::kUserEntry), QStringLiteral("wvw"));
}

TEST_F(PasswordDialogs, ChangeDialogChecksTheCurrentPasswordOnLeaveAndOnOk)
{
    {
        ui::FrmXpass dialog;
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
        auto* current = Child<QLineEdit>(&dialog, "TxtPwdP");
        auto* first = Child<QLineEdit>(&dialog, "TxtPwdO_0");
        current->setFocus();
        QTest::keyClicks(current, "nope");
        MessageBox::SetNextAnswer(MessageBox::Ok);
        QTest::keyClick(current, Qt::Key_Tab);
        EXPECT_EQ(MessageBox::Log(), QStringList{QStringLiteral("パスワードが不正です。")});
        EXPECT_TRUE(current->text().isEmpty());
        EXPECT_TRUE(current->hasFocus());
        // An empty field is not checked when left.
        QTest::keyClick(current, Qt::Key_Tab);
        EXPECT_TRUE(first->hasFocus());
        EXPECT_EQ(MessageBox::Log().size(), 1);

        // OK with a wrong current password stores nothing.
        current->setText("nope");
        first->setText("zz");
        Child<QLineEdit>(&dialog, "TxtPwdO_1")->setText("zz");
        MessageBox::SetNextAnswer(MessageBox::Ok);
        QTest::mouseClick(Child<QPushButton>(&dialog, "CmdOk"), Qt::LeftButton);
        EXPECT_EQ(MessageBox::Log().size(), 2);
        EXPECT_TRUE(current->text().isEmpty());
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(config::GetSecret(config::kUserEntry), QStringLiteral("wvw"));
    }

    // The master password may stand as the current one; the new password is stored silently.
    ui::FrmXpass dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    Child<QLineEdit>(&dialog, "TxtPwdP")->setText("pqvex");
    Child<QLineEdit>(&dialog, "TxtPwdO_0")->setText("Neu8");
    Child<QLineEdit>(&dialog, "TxtPwdO_1")->setText("Neu8");
    QTest::mouseClick(Child<QPushButton>(&dialog, "CmdOk"), Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(MessageBox::Log().size(), 2) << "no confirmation message";
    EXPECT_EQ(config::GetSecret(config::kUserEntry), QStringLiteral("Neu8"));

    // Cancel stores nothing, even with valid fields.
    ui::FrmXpass again;
    again.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&again));
    Child<QLineEdit>(&again, "TxtPwdP")->setText("Neu8");
    Child<QLineEdit>(&again, "TxtPwdO_0")->setText("other");
    Child<QLineEdit>(&again, "TxtPwdO_1")->setText("other");
    QTest::mouseClick(Child<QPushButton>(&again, "CmdCan"), Qt::LeftButton);
    EXPECT_EQ(config::GetSecret(config::kUserEntry), QStringLiteral("Neu8"));
}
