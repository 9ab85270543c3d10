#pragma once

#include <QString>

namespace lw::config {

class Registry;

// Application name and section of the lock's entries in the per-user store.
inline const QString kLockAppname = QStringLiteral("larchwatcher");
inline const QString kLockSection = QStringLiteral("EntrDat");
// Entry of the master password and of the user password.
inline const QString kMasterEntry = QStringLiteral("EntrPwdCom");
inline const QString kUserEntry = QStringLiteral("EntrPwdUsr");
// Key under which both passwords are scrambled.
inline const QString kStoreKey = QStringLiteral("Vrolk");
// The master password, rewritten at every start, and the first user password.
inline const QString kMasterPassword = QStringLiteral("pqvex");
inline const QString kInitialUserPassword = QStringLiteral("wvw");
// Message shown when a typed password does not open the lock.
inline const QString kWrongPasswordMessage = QStringLiteral("パスワードが不正です。");

// Tells the operator something; the window shows a message box, tests record the text.
class LockMessage {
public:
    virtual ~LockMessage() = default;
    virtual void Show(const QString& text) = 0;
};

// The program's one shared store object, created on first use.
Registry& SharedRegistry();

// The stored text of entry key in the lock's section; empty when missing.
QString GetEntry(const QString& key);
// Stores value under entry key of the lock's section; false when the store could not be written.
bool SaveEntry(const QString& key, const QString& value);
// The unscrambled password stored under entry key; empty when missing.
QString GetSecret(const QString& key);
// Stores password scrambled: the master password in its own entry, any other in the user entry.
bool SavePassword(const QString& password);
// Message shown when the per-user store could not be written.
inline const QString kStoreNotWritableMessage = QStringLiteral("パスワードの保存先に書き込めませんでした。");

// True when typed is not empty and equals the stored password of its entry exactly; otherwise
// shows "パスワードが不正です。" through message and returns false.
bool CheckPassword(const QString& typed, LockMessage& message);
// Start-up seeding: rewrites the master entry, and stores the first user password while the
// user entry reads as empty. A stored user password is kept. False when the store could not
// be written.
[[nodiscard]] bool SeedLockPasswords();

} // namespace lw::config
