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

namespace {

bool g_accepted = false;

} // namespace

void LockMessageBox::Show(const QString& text)
{
    MessageBox::Information(m_parent, text);
}

void SeedLockPasswords(QWidget* parent)
{
    if (!config::SeedLockPasswords()) MessageBox::Information(parent, config::kStoreNotWritableMessage);
}

bool LockAccepted()
{
    return g_accepted;
}

PasswordPrompt::PasswordPrompt(QWidget* parent)
    : QDialog(parent), m_password(new QLineEdit(this)), m_ok(new QPushButton(QStringLiteral("OK"), this)),
      m_cancel(new QPushButton(QStringLiteral("キャンセル"), this)), m_message(this)
{
    setObjectName(QStringLiteral("frmPwck"));
    setWindowTitle(QStringLiteral("パスワード認証"));
    FitTitle(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    auto* label = new QLabel(QStringLiteral("パスワード"), this);
    m_password->setObjectName(QStringLiteral("TxtPwdP"));
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setMaxLength(8);
    m_password->setAttribute(Qt::WA_InputMethodEnabled, false);
    m_password->installEventFilter(this);
    label->setBuddy(m_password);
    m_ok->setObjectName(QStringLiteral("CmdOK"));
    m_cancel->setObjectName(QStringLiteral("CmdCan"));
    // Enter in the field presses OK (see eventFilter); on a focused button it presses that one.
    m_ok->setAutoDefault(true);
    m_cancel->setAutoDefault(true);

    auto* grid = new QGridLayout(this);
    grid->addWidget(label, 0, 0);
    grid->addWidget(m_password, 0, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    grid->addLayout(buttons, 1, 0, 1, 2);
    m_password->setMinimumWidth(m_password->fontMetrics().horizontalAdvance(QLatin1Char('M')) * 12);

    connect(m_ok, &QPushButton::clicked, this, &PasswordPrompt::OnOk);
    connect(m_cancel, &QPushButton::clicked, this, &PasswordPrompt::OnCancel);
}

int PasswordPrompt::exec()
{
    g_accepted = false;
    m_password->clear();
    m_password->setFocus();
    return QDialog::exec();
}

bool PasswordPrompt::Ask(QWidget* parent)
{
    PasswordPrompt prompt(parent);
    prompt.exec();
    return LockAccepted();
}

bool PasswordPrompt::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_password && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            m_ok->click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void PasswordPrompt::OnOk()
{
    g_accepted = config::CheckPassword(m_password->text(), m_message);
    if (g_accepted) {
        accept();
        return;
    }
    // The next try starts on an empty field.
    m_password->clear();
    m_password->setFocus(Qt::OtherFocusReason);
}

void PasswordPrompt::OnCancel()
{
    g_accepted = false;
    reject();
}

} // namespace lw::ui
