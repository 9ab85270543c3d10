#include "ui/PasswordPrompt.h"

#include "ui/DialogParts.h"
#include "ui/MessageBox.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace lw::ui {

void LockMessageBox::Show(const QString& text)
{
    MessageBox::Information(m_parent, text);
}

void SeedLockPasswords(QWidget* parent)
{
    if (!config::SeedLockPasswords()) MessageBox::Information(parent, config::kStoreNotWritableMessage);
}

PasswordPrompt::PasswordPrompt(QWidget* parent)
    : QDialog(parent), m_passwordField(new QLineEdit(this)),
      m_okButton(new QPushButton(QStringLiteral("OK"), this)), m_cancelButton(new QPushButton(QStringLiteral("キャンセル"), this)), m_message(this)
{
    setObjectName(QStringLiteral("frmPwck"));
    setWindowTitle(QStringLiteral("パスワード認証"));
    FitTitle(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    auto* label = new QLabel(QStringLiteral("パスワード"), this);
    m_passwordField->setObjectName(QStringLiteral("TxtPwdP"));
    m_passwordField->setEchoMode(QLineEdit::Password);
    m_passwordField->setMaxLength(8);
    m_passwordField->setAttribute(Qt::WA_InputMethodEnabled, false);
    m_passwordField->installEventFilter(this);
    label->setBuddy(m_passwordField);
    m_okButton->setObjectName(QStringLiteral("CmdOK"));
    m_cancelButton->setObjectName(QStringLiteral("CmdCan"));
    // Enter in the field presses OK (see eventFilter); on a focused button it presses that one.
    m_okButton->setAutoDefault(true);
    m_cancelButton->setAutoDefault(true);

    auto* grid = new QGridLayout(this);
    grid->addWidget(label, 0, 0);
    grid->addWidget(m_passwordField, 0, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_okButton);
    buttons->addWidget(m_cancelButton);
    grid->addLayout(buttons, 1, 0, 1, 2);
    m_passwordField->setMinimumWidth(m_passwordField->fontMetrics().horizontalAdvance(QLatin1Char('M')) * 12);

    connect(m_okButton, &QPushButton::clicked, this, &PasswordPrompt::OnOk);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

int PasswordPrompt::exec()
{
    m_passwordField->clear();
    m_passwordField->setFocus();
    return QDialog::exec();
}

bool PasswordPrompt::Ask(QWidget* parent)
{
    PasswordPrompt prompt(parent);
    return prompt.exec() == QDialog::Accepted;
}

bool PasswordPrompt::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_passwordField && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            m_okButton->click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void PasswordPrompt::OnOk()
{
    if (config::CheckPassword(m_passwordField->text(), m_message)) {
        accept();
        return;
    }
    // The next try starts on an empty field.
    m_passwordField->clear();
    m_passwordField->setFocus(Qt::OtherFocusReason);
}

} // namespace lw::ui
