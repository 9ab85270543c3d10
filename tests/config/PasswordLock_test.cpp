#include "config/PasswordLock.h"

#include "config/Registry.h"

#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lw::config;

namespace {

class Recorder final : public LockMessage {
public:
    void Show(const QString& text) override { shown.append(text); }
    QStringList shown;
};

// Every test gets its own empty per-user store in a temporary folder.
class PasswordLock : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    }
    bool Check(const QString& typed) { return CheckPassword(typed, m_messages); }

    QTemporaryDir m_dir;
    Recorder m_messages;
};

} // namespace

TEST_F(PasswordLock, FirstStartSeedsBothPasswordsAndRefusesOthers)
{
    SeedLockPasswords();
    EXPECT_TRUE(Check("wvw"));
    EXPECT_TRUE(Check("pqvex"));
    EXPECT_TRUE(m_messages.shown.isEmpty());

    for (const QString& wrong : {QString(), QStringLiteral("WVW"), QStringLiteral("wvw "), QStringLiteral("ｗｖｗ")})
        EXPECT_FALSE(Check(wrong)) << wrong.toStdString();
    EXPECT_EQ(m_messages.shown, QStringList(4, QStringLiteral("パスワードが不正です。")));

    // Stored scrambled, never in plain text, in the lock's section of the program's store.
    QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "larchwatcher", "larchwatcher");
    const QString stored = raw.value("EntrDat/EntrPwdUsr").toString();
    EXPECT_EQ(stored.size(), 4) << "scrambled, not plain";
    EXPECT_FALSE(raw.value("EntrDat/EntrPwdCom").toString().isEmpty());
}

TEST_F(PasswordLock, ChangedUserPasswordReplacesTheOldAndSurvivesSeeding)
{
    SeedLockPasswords();
    ASSERT_TRUE(SavePassword("n3w-Pass"));
    SeedLockPasswords();  // a restart
    EXPECT_TRUE(Check("pqvex"));
    EXPECT_TRUE(Check("n3w-Pass"));
    EXPECT_FALSE(Check("wvw"));

    // The master password as a "new" password lands in the master entry; the user one stays.
    ASSERT_TRUE(SavePassword("pqvex"));
    EXPECT_EQ(GetSecret(kUserEntry), QStringLiteral("n3w-Pass"));
    EXPECT_EQ(GetSecret(kMasterEntry), QStringLiteral("pqvex"));
}

TEST_F(PasswordLock, SeedingRepairsTamperedEntriesAndJapanesePasswordsRoundTrip)
{
    ASSERT_TRUE(SaveEntry(kMasterEntry, "garbage"));
    ASSERT_TRUE(SaveEntry(kUserEntry, "!!"));  // unscrambles to nothing
    SeedLockPasswords();
    EXPECT_TRUE(Check("pqvex"));
    EXPECT_TRUE(Check("wvw"));

    ASSERT_TRUE(SavePassword(QStringLiteral("ﾊﾟｽ日本")));
    EXPECT_EQ(GetSecret(kUserEntry), QStringLiteral("ﾊﾟｽ日本"));
    EXPECT_TRUE(Check(QStringLiteral("ﾊﾟｽ日本")));
    EXPECT_FALSE(Check(QStringLiteral("パス日本")));
}

TEST_F(PasswordLock, RegistryReadsSavesAndDeletes)
{
    Registry reg;
    Registry again;
    for (Registry* r : {&reg, &again}) {
        r->Appname("larchwatcher");
        r->Section("Other");
        r->Key("k");
    }
    reg.Setting("stale");
    reg.RegGet();
    EXPECT_TRUE(reg.Setting().isEmpty()) << "a missing entry reads as empty";
    reg.Setting("v1");
    ASSERT_TRUE(reg.RegSave());
    reg.Setting("v2");
    ASSERT_TRUE(reg.RegSave());
    again.RegGet();
    EXPECT_EQ(again.Setting(), QStringLiteral("v2"));
    EXPECT_TRUE(GetEntry("k").isEmpty()) << "sections are separate";
    again.RegDel();
    reg.RegGet();
    EXPECT_TRUE(reg.Setting().isEmpty());
}
