#include "engine/SenderRules.h"

#include "engine/mail/AddressList.h"
#include "store/ListDatabase.h"
#include "store/StoreFixture.h"

#include <QFileInfo>

namespace lw::engine {
namespace {

using test::Peek;

TEST(AddressListTest, NormalisesTypedListsToLowerCaseTabSeparated)
{
    using mail::NormaliseAddressList;
    EXPECT_EQ(NormaliseAddressList(QStringLiteral(" ;Taro@Example.JP;;; hanako@example.jp　jiro@x.jp\tÖRJAN@例え.JP ; ")),
              QStringLiteral("taro@example.jp\thanako@example.jp\tjiro@x.jp\törjan@例え.jp"));
    EXPECT_EQ(NormaliseAddressList(QStringLiteral(" ;　")), QString());
}

class SenderRulesTest : public test::StoreFixture {
protected:
    void AddRule(const QString& address, const QVariantList& flags, const QVariant& to = QStringLiteral(""),
                 const QVariant& cc = QStringLiteral(""), const QVariant& bcc = QStringLiteral(""))
    {
        Peek(DatabasePath()).Exec(
            QStringLiteral("INSERT INTO tblList (アドレス, 印刷, メール保存, ボックスクリア, ログ出力, 受信拒否, メール転送, "
                           "転送先TO, 転送先CC, 転送先BCC) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
            QVariantList{address} + flags + QVariantList{to, cc, bcc});
    }

    bool Rule(const QString& address, SenderRule& rule)
    {
        QString error = QStringLiteral("stale");  // a caller's old error text does not survive a good lookup
        const bool found = LookUpSenderRule(settings.programFolder, settings.reffile, address, rule, error);
        EXPECT_TRUE(error.isEmpty()) << error.toStdString();
        EXPECT_FALSE(store::ListConnection().isValid()) << "no connection stays open between lookups";
        return found;
    }

    bool InBook(const QString& address)
    {
        QString error;
        const bool found = LookUpAddressBook(settings.programFolder, settings.reffile, address, error);
        EXPECT_TRUE(error.isEmpty()) << error.toStdString();
        return found;
    }
};

TEST_F(SenderRulesTest, FoundRuleFillsFlagsAndNormalisedListsOnly)
{
    AddRule(QStringLiteral("Taro@Example.jp"), {1, 0, 1, 1, 0, 1}, QStringLiteral("A@x.jp; b@x.jp"),
            QVariant(QMetaType::fromType<QString>()), QStringLiteral("　C@x.jp "));
    SenderRule rule;
    rule.name = QStringLiteral("kept");
    ASSERT_TRUE(Rule(QStringLiteral("  taro@example.jp "), rule));
    EXPECT_EQ((QList<bool>{rule.print, rule.save, rule.clear, rule.log, rule.reject, rule.forward}),
              (QList<bool>{true, false, true, true, false, true}));
    EXPECT_EQ((QStringList{rule.forwardTo, rule.forwardCc, rule.forwardBcc, rule.name}),
              (QStringList{"a@x.jp\tb@x.jp", "", "c@x.jp", "kept"})) << "a null column reads as empty";

    // Not listed: the rule stays as it was. Listed with every flag off still counts as found.
    SenderRule untouched;
    untouched.print = true;
    untouched.forwardTo = QStringLiteral("z@z");
    EXPECT_FALSE(Rule(QStringLiteral("jiro@example.jp"), untouched));
    EXPECT_TRUE(untouched.print && untouched.forwardTo == QStringLiteral("z@z"));
    AddRule(QStringLiteral("quiet@example.jp"), {0, 0, 0, 0, 0, 0});
    untouched.reject = true;
    EXPECT_TRUE(Rule(QStringLiteral("quiet@example.jp"), untouched));
    EXPECT_FALSE(untouched.reject);
}

TEST_F(SenderRulesTest, LetterCaseIsIgnoredOnBothSidesIncludingNonAscii)
{
    const std::pair<const char*, const char*> pairs[] = {
        {"Taro@Example.COM", "tARO@example.com"}, {"дмитрий@пример.рф", "ДМИТРИЙ@Пример.РФ"},
        {"o'brien@example.ie", "O'Brien@Example.IE"}, {"山田@例え.jp", "山田@例え.JP"},
        {"ÄÖÜÉÈÊËÎÏ@ÀÂÇ.fr", "äöüéèêëîï@àâç.fr"},  // long non-ASCII address beyond the probe limit
    };
    for (const auto& [stored, probe] : pairs) {
        AddRule(QString::fromUtf8(stored), {0, 0, 0, 1, 0, 0});
        SenderRule rule;
        EXPECT_TRUE(Rule(QString::fromUtf8(probe), rule) && rule.log) << probe;
    }
    for (const char* other : {"ä@àâç.fr", "äöüéèêëîï@àâç.frx", "aouéèêëîï@àâç.fr", "o''brien@example.ie", "' OR '1'='1", ""}) {
        SenderRule rule;
        EXPECT_FALSE(Rule(QString::fromUtf8(other), rule)) << other;
    }

    for (const char* address : {"ЖУРНАЛ@пример.рф", "it's@example.jp"})
        Peek(DatabasePath()).Exec(QStringLiteral("INSERT INTO tblAdrbook (電子メールアドレス, 表示名) VALUES (?, 'x')"), {QString::fromUtf8(address)});
    EXPECT_TRUE(InBook(QStringLiteral(" журнал@ПРИМЕР.РФ ")));
    EXPECT_TRUE(InBook(QStringLiteral("IT'S@example.jp")));
    EXPECT_FALSE(InBook(QStringLiteral("taro@example.com"))) << "the rule list is not the address book";
}

TEST_F(SenderRulesTest, MissingDatabaseIsAnErrorNotANotFound)
{
    settings.reffile = QStringLiteral("absent");
    SenderRule rule;
    QString error;
    EXPECT_FALSE(LookUpSenderRule(settings.programFolder, settings.reffile, QStringLiteral("a@b"), rule, error));
    EXPECT_FALSE(error.isEmpty());
    error.clear();
    EXPECT_FALSE(LookUpAddressBook(settings.programFolder, settings.reffile, QStringLiteral("a@b"), error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(home.File(QStringLiteral("absent.db"))));
}

} // namespace
} // namespace lw::engine
