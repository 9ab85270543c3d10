#include "config/PasswordLock.h"

#include <QFile>
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

TEST_F(PasswordLock, SeedingRepairsEntriesAndOnlyTheStoredPasswordsPass)
{
    ASSERT_TRUE(SaveEntry(kMasterEntry, "garbage"));
    ASSERT_TRUE(SaveEntry(kUserEntry, "!!"));  // unscrambles to nothing
    ASSERT_TRUE(SeedLockPasswords());
    EXPECT_TRUE(Check("wvw"));
    EXPECT_TRUE(Check("pqvex"));
    EXPECT_TRUE(m_messages.shown.isEmpty());
    for (const QString& wrong : {QString(), QStringLiteral("WVW"), QStringLiteral("wvw "), QStringLiteral("ｗｖｗ")})
        EXPECT_FALSE(Check(wrong)) << wrong.toStdString();
    EXPECT_EQ(m_messages.shown, QStringList(4, QStringLiteral("パスワードが不正です。")));

    // Stored scrambled, never in plain text, in the lock's section of the program's store.
    QSettings raw(QSettings::NativeFormat, QSettings::UserScope, "larchwatcher", "larchwatcher");
    EXPECT_EQ(raw.value("EntrDat/EntrPwdUsr").toString().size(), 4) << "scrambled, not plain";
    EXPECT_FALSE(raw.value("EntrDat/EntrPwdCom").toString().isEmpty());

    // A changed user password replaces the old one; the master password as a "new" one lands
    // in the master entry and leaves the user one alone.
    ASSERT_TRUE(SavePassword(QStringLiteral("ﾊﾟｽ日本")));
    ASSERT_TRUE(SavePassword("pqvex"));
    ASSERT_TRUE(SeedLockPasswords()); // a restart
    EXPECT_EQ(GetSecret(kUserEntry), QStringLiteral("ﾊﾟｽ日本"));
    EXPECT_TRUE(Check(QStringLiteral("ﾊﾟｽ日本")));
    EXPECT_FALSE(Check(QStringLiteral("パス日本")));
    EXPECT_FALSE(Check("wvw"));
    EXPECT_TRUE(Check("pqvex"));
    EXPECT_TRUE(GetEntry("missing").isEmpty()) << "a missing entry reads as empty, not as the last one read";
}

TEST_F(PasswordLock, AStoreThatCannotBeWrittenSaysSoAndEmptyTextNeverOpens)
{
    // A file where the store's folder should be: nothing can be written below it.
    QFile blocker(m_dir.filePath("larchwatcher"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(SeedLockPasswords());
    EXPECT_FALSE(SavePassword("wvw"));
    for (const QString& typed : {QString(), QStringLiteral("wvw"), QStringLiteral("pqvex")})
        EXPECT_FALSE(Check(typed)) << typed.toStdString();
    EXPECT_EQ(m_messages.shown.size(), 3);
}
