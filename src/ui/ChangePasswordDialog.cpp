#include "ui/ChangePasswordDialog.h"

#include "ui/DialogParts.h"
#include "ui/MessageBox.h"

#include <QApplication>
#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace lw::ui {

namespace {

QLineEdit* PasswordField(QWidget* parent, const QString& name)
{
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setEchoMode(QLineEdit::Password);
    field->setMaxLength(8);
    field->setAttribute(Qt::WA_InputMethodEnabled, false);
    field->setMinimumWidth(field->fontMetrics().horizontalAdvance(QLatin1Char('M')) * 12);
    return field;
}

bool IsEnter(QEvent* event)
{
    if (event->type() != QEvent::KeyPress) return false;
    const int key = static_cast<QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

} // namespace

ChangePasswordDialog::ChangePasswordDialog(QWidget* parent)
    : QDialog(parent), m_currentPasswordField(PasswordField(this, QStringLiteral("TxtPwdP"))),
      m_okButton(new QPushButton(QStringLiteral("OK"), this)),
      m_cancelButton(new QPushButton(QStringLiteral("キャンセル"), this)),
      m_message(this)
{
    setObjectName(QStringLiteral("frmXpass"));
    setWindowTitle(QStringLiteral("パスワード変更"));
    FitTitle(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    // The control array TxtPwdO(0), TxtPwdO(1) becomes TxtPwdO_0 and TxtPwdO_1.
    m_newPasswordFields[0] = PasswordField(this, QStringLiteral("TxtPwdO_0"));
    m_newPasswordFields[1] = PasswordField(this, QStringLiteral("TxtPwdO_1"));
    m_okButton->setObjectName(QStringLiteral("CmdOk"));
    m_cancelButton->setObjectName(QStringLiteral("CmdCan"));
    m_okButton->setAutoDefault(true);
    m_cancelButton->setAutoDefault(true);

    auto* grid = new QGridLayout(this);
    const QString captions[] = {QStringLiteral("現在のﾊﾟｽﾜｰﾄﾞ"), QStringLiteral("新規ﾊﾟｽﾜｰﾄﾞ"),
                                QStringLiteral("新規ﾊﾟｽﾜｰﾄﾞ再入力")};
    QLineEdit* fields[] = {m_currentPasswordField, m_newPasswordFields[0], m_newPasswordFields[1]};
    for (int row = 0; row < 3; ++row) {
        auto* label = new QLabel(captions[row], this);
        label->setBuddy(fields[row]);
        grid->addWidget(label, row, 0);
        grid->addWidget(fields[row], row, 1);
        fields[row]->installEventFilter(this);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_okButton);
    buttons->addWidget(m_cancelButton);
    grid->addLayout(buttons, 3, 0, 1, 2);
    setTabOrder(m_currentPasswordField, m_newPasswordFields[0]);
    setTabOrder(m_newPasswordFields[0], m_newPasswordFields[1]);
    setTabOrder(m_newPasswordFields[1], m_okButton);
    setTabOrder(m_okButton, m_cancelButton);

    connect(m_okButton, &QPushButton::clicked, this, &ChangePasswordDialog::OnOk);
    connect(m_cancelButton, &QPushButton::clicked, this, &ChangePasswordDialog::reject);
    connect(m_currentPasswordField, &QLineEdit::textChanged, this, [this] { m_refusedOnLeave = false; });
    m_currentPasswordField->setFocus();
}

bool ChangePasswordDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (IsEnter(event)) {
        if (watched == m_currentPasswordField) {
            m_newPasswordFields[0]->setFocus(Qt::TabFocusReason);
        } else if (watched == m_newPasswordFields[0]) {
            m_newPasswordFields[1]->setFocus(Qt::TabFocusReason);
        } else if (watched == m_newPasswordFields[1]) {
            if (m_newPasswordFields[0]->text() != m_newPasswordFields[1]->text())
                RefuseNew(QStringLiteral("新規パスワードが不正です。"));
            else
                m_okButton->click();
        }
        return true;
    }
    if (watched == m_currentPasswordField && event->type() == QEvent::FocusOut) {
        // Focus lost to another window (a message box, the dialog closing) is not a leave.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            CheckCurrentOnLeave(reason == Qt::MouseFocusReason && QApplication::focusWidget() == m_okButton);
    }
    return QDialog::eventFilter(watched, event);
}

void ChangePasswordDialog::CheckCurrentOnLeave(bool byClickOnOk)
{
    if (m_checking) return;
    m_refusedOnLeave = false;
    if (m_currentPasswordField->text().isEmpty()) return;
    m_checking = true;
    if (!config::CheckPassword(m_currentPasswordField->text(), m_message)) {
        m_currentPasswordField->clear();
        m_currentPasswordField->setFocus(Qt::OtherFocusReason);
        // Only the click that is taking the focus away has been answered by this check; a leave
        // by keyboard leaves the next OK its own check and message.
        m_refusedOnLeave = byClickOnOk;
    }
    m_checking = false;
}

void ChangePasswordDialog::RefuseNew(const QString& text)
{
    MessageBox::Information(this, text);
    m_newPasswordFields[0]->clear();
    m_newPasswordFields[1]->clear();
    m_newPasswordFields[0]->setFocus(Qt::OtherFocusReason);
}

void ChangePasswordDialog::OnOk()
{
    if (m_refusedOnLeave) {
        // The click that took the focus from a wrong current password: that check has spoken.
        m_refusedOnLeave = false;
        return;
    }
    if (!config::CheckPassword(m_currentPasswordField->text(), m_message)) {
        m_currentPasswordField->clear();
        m_currentPasswordField->setFocus(Qt::OtherFocusReason);
        return;
    }
    if (m_newPasswordFields[0]->text() != m_newPasswordFields[1]->text()) {
        RefuseNew(QStringLiteral("新規パスワードが不正です。"));
        return;
    }
    if (m_newPasswordFields[0]->text().isEmpty()) {
        RefuseNew(QStringLiteral("新規パスワードを入力してください。"));
        return;
    }
    // A password that was not stored must not look changed: the dialog stays open.
    if (!config::SavePassword(m_newPasswordFields[0]->text())) {
        MessageBox::Information(this, config::kStoreNotWritableMessage);
        return;
    }
    // The master password as the new one leaves the user password as it was: nothing changed.
    if (m_newPasswordFields[0]->text() != config::kMasterPassword)
        MessageBox::Information(this, QStringLiteral("パスワードを変更しました。"));
    accept();
}

} // namespace lw::ui
