#pragma once

#include "ui/PasswordPrompt.h"

#include <QDialog>

#include <array>

class QLineEdit;
class QPushButton;

namespace lw::ui {

// The password change dialog: the current password (or the master password) and the new one
// twice. Stores the new user password on an accepted OK, nothing otherwise.
class ChangePasswordDialog final : public QDialog {
    Q_OBJECT
public:
    explicit ChangePasswordDialog(QWidget* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnOk();
    void RefuseNew(const QString& text);
    // byClickOnOk: the focus is leaving for OK under a mouse press, whose click follows.
    void CheckCurrentOnLeave(bool byClickOnOk);

    QLineEdit* m_currentPasswordField;
    std::array<QLineEdit*, 2> m_newPasswordFields{};
    QPushButton* m_okButton;
    QPushButton* m_cancelButton;
    LockMessageBox m_message;
    bool m_checking = false;
    bool m_refusedOnLeave = false; // a click on OK made the leave check speak; that click stays quiet
};

} // namespace lw::ui
