#include "config/PasswordLock.h"

#include "config/Cipher.h"
#include "config/Registry.h"

namespace lw::config {

namespace {

Registry& Prepared()
{
    Registry& registry = SharedRegistry();
    registry.Appname(kLockAppname);
    registry.Section(kLockSection);
    return registry;
}

QString EntryFor(const QString& password)
{
    return password == kMasterPassword ? kMasterEntry : kUserEntry;
}

} // namespace

Registry& SharedRegistry()
{
    static Registry registry;
    return registry;
}

QString GetEntry(const QString& key)
{
    Registry& registry = Prepared();
    registry.Key(key);
    registry.RegGet();
    return registry.Setting();
}

bool SaveEntry(const QString& key, const QString& value)
{
    Registry& registry = Prepared();
    registry.Key(key);
    registry.Setting(value);
    return registry.RegSave();
}

// Passwords travel through the scrambler as their UTF-8 bytes; the scrambled text is ASCII.
QString GetSecret(const QString& key)
{
    return QString::fromUtf8(Unscramble(GetEntry(key).toLatin1(), kStoreKey.toUtf8()));
}

bool SavePassword(const QString& password)
{
    return SaveEntry(EntryFor(password), QString::fromLatin1(Scramble(password.toUtf8(), kStoreKey.toUtf8())));
}

bool CheckPassword(const QString& typed, LockMessage& message)
{
    // A missing or unwritable entry reads as empty: empty text must never open the lock.
    if (!typed.isEmpty() && GetSecret(EntryFor(typed)) == typed) return true;
    message.Show(kWrongPasswordMessage);
    return false;
}

bool SeedLockPasswords()
{
    bool written = SavePassword(kMasterPassword);
    if (GetSecret(kUserEntry).isEmpty()) written = SavePassword(kInitialUserPassword) && written;
    return written;
}

} // namespace lw::config
