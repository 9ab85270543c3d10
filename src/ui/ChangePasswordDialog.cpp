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
    : QDialog(parent), m_current(PasswordField(this, QStringLiteral("TxtPwdP"))),
      m_ok(new QPushButton(QStringLiteral("OK"), this)), m_cancel(new QPushButton(QStringLiteral("キャンセル"), this)),
      m_message(this)
{
    setObjectName(QStringLiteral("frmXpass"));
    setWindowTitle(QStringLiteral("パスワード変更"));
    FitTitle(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    // The control array TxtPwdO(0), TxtPwdO(1) becomes TxtPwdO_0 and TxtPwdO_1.
    m_new[0] = PasswordField(this, QStringLiteral("TxtPwdO_0"));
    m_new[1] = PasswordField(this, QStringLiteral("TxtPwdO_1"));
    m_ok->setObjectName(QStringLiteral("CmdOk"));
    m_cancel->setObjectName(QStringLiteral("CmdCan"));
    m_ok->setAutoDefault(true);
    m_cancel->setAutoDefault(true);

    auto* grid = new QGridLayout(this);
    const QString captions[] = {QStringLiteral("現在のﾊﾟｽﾜｰﾄﾞ"), QStringLiteral("新規ﾊﾟｽﾜｰﾄﾞ"),
                                QStringLiteral("新規ﾊﾟｽﾜｰﾄﾞ再入力")};
    QLineEdit* fields[] = {m_current, m_new[0], m_new[1]};
    for (int row = 0; row < 3; ++row) {
        auto* label = new QLabel(captions[row], this);
        label->setBuddy(fields[row]);
        grid->addWidget(label, row, 0);
        grid->addWidget(fields[row], row, 1);
        fields[row]->installEventFilter(this);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    grid->addLayout(buttons, 3, 0, 1, 2);
    setTabOrder(m_current, m_new[0]);
    setTabOrder(m_new[0], m_new[1]);
    setTabOrder(m_new[1], m_ok);
    setTabOrder(m_ok, m_cancel);

    connect(m_ok, &QPushButton::clicked, this, &ChangePasswordDialog::OnOk);
    connect(m_cancel, &QPushButton::clicked, this, &ChangePasswordDialog::reject);
    connect(m_current, &QLineEdit::textChanged, this, [this] { m_refusedOnLeave = false; });
    m_current->setFocus();
}

bool ChangePasswordDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (IsEnter(event)) {
        if (watched == m_current) {
            m_new[0]->setFocus(Qt::TabFocusReason);
        } else if (watched == m_new[0]) {
            m_new[1]->setFocus(Qt::TabFocusReason);
        } else if (watched == m_new[1]) {
            if (m_new[0]->text() != m_new[1]->text())
                RefuseNew(QStringLiteral("新規パスワードが不正です。"));
            else
                m_ok->click();
        }
        return true;
    }
    if (watched == m_current && event->type() == QEvent::FocusOut) {
        // Focus lost to another window (a message box, the dialog closing) is not a leave.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            CheckCurrentOnLeave(reason == Qt::MouseFocusReason && QApplication::focusWidget() == m_ok);
    }
    return QDialog::eventFilter(watched, event);
}

void ChangePasswordDialog::CheckCurrentOnLeave(bool byClickOnOk)
{
    if (m_checking) return;
    m_refusedOnLeave = false;
    if (m_current->text().isEmpty()) return;
    m_checking = true;
    if (!config::CheckPassword(m_current->text(), m_message)) {
        m_current->clear();
        m_current->setFocus(Qt::OtherFocusReason);
        // Only the click that is taking the focus away has been answered by this check; a leave
        // by keyboard leaves the next OK its own check and message.
        m_refusedOnLeave = byClickOnOk;
    }
    m_checking = false;
}

void ChangePasswordDialog::RefuseNew(const QString& text)
{
    MessageBox::Information(this, text);
    m_new[0]->clear();
    m_new[1]->clear();
    m_new[0]->setFocus(Qt::OtherFocusReason);
}

void ChangePasswordDialog::OnOk()
{
    if (m_refusedOnLeave) {
        // The click that took the focus from a wrong current password: that check has spoken.
        m_refusedOnLeave = false;
        return;
    }
    if (!config::CheckPassword(m_current->text(), m_message)) {
        m_current->clear();
        m_current->setFocus(Qt::OtherFocusReason);
        return;
    }
    if (m_new[0]->text() != m_new[1]->text()) {
        RefuseNew(QStringLiteral("新規パスワードが不正です。"));
        return;
    }
    if (m_new[0]->text().isEmpty()) {
        RefuseNew(QStringLiteral("新規パスワードを入力してください。"));
        return;
    }
    // A password that was not stored must not look changed: the dialog stays open.
    if (!config::SavePassword(m_new[0]->text())) {
        MessageBox::Information(this, config::kStoreNotWritableMessage);
        return;
    }
    // The master password as the new one leaves the user password as it was: nothing changed.
    if (m_new[0]->text() != config::kMasterPassword)
        MessageBox::Information(this, QStringLiteral("パスワードを変更しました。"));
    accept();
}

} // namespace lw::ui
