#pragma once

#include "config/PasswordLock.h"

#include <QDialog>

class QLineEdit;
class QPushButton;

namespace lw::ui {

// Shows lock messages in the program's message boxes.
class LockMessageBox final : public config::LockMessage {
public:
    explicit LockMessageBox(QWidget* parent) : m_parent(parent) {}
    void Show(const QString& text) override;

private:
    QWidget* m_parent;
};

// Start-up seeding of the lock's passwords; a per-user store that cannot be written is told
// in a message box over parent.
void SeedLockPasswords(QWidget* parent);

// The password prompt in front of the locked buttons. Each showing starts with an empty field;
// only an OK with a password that opens the lock accepts it, every other way out refuses.
class PasswordPrompt final : public QDialog {
    Q_OBJECT
public:
    explicit PasswordPrompt(QWidget* parent = nullptr);

    // Shows the prompt modally; true only when it was closed by an OK that opened the lock.
    [[nodiscard]] static bool Ask(QWidget* parent);

    int exec() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnOk();

    QLineEdit* m_passwordField;
    QPushButton* m_okButton;
    QPushButton* m_cancelButton;
    LockMessageBox m_message;
};

} // namespace lw::ui
