#include "engine/SenderRules.h"

#include "store/ListDatabase.h"
#include "store/StoreFixture.h"

namespace lw::engine {
namespace {

class SenderRulesTest : public test::StoreFixture {
protected:
    bool Rule(const QString& address, SenderRule& rule)
    {
        const RuleLookup found = LookUpSenderRule(settings.programFolder, settings.listDatabaseName, address);
        EXPECT_TRUE(found.Ok()) << found.ErrorText().toStdString();
        EXPECT_FALSE(store::ListConnection().isValid()) << "no connection stays open between lookups";
        if (!found || !found->has_value()) return false;
        rule = **found;
        return true;
    }

    // Whether the address book holds the address; expect an error or none.
    bool InBook(const QString& address, bool failing = false)
    {
        const base::Result<bool> found = LookUpAddressBook(settings.programFolder, settings.listDatabaseName, address);
        EXPECT_EQ(found.Ok(), !failing) << found.ErrorText().toStdString();
        return found && *found;
    }
};

TEST_F(SenderRulesTest, FoundRuleFillsFlagsAndNormalisedListsOnlyAndLetterCaseIsIgnoredOnBothSides)
{
    AddRule("Taro@Example.jp", "101101",
            {"A@x.jp; b@x.jp", QVariant(QMetaType::fromType<QString>()), "　C@x.jp "});
    SenderRule rule;
    ASSERT_TRUE(Rule(QStringLiteral("  taro@example.jp "), rule));
    EXPECT_EQ((QList<bool>{rule.print, rule.save, rule.clear, rule.log, rule.reject, rule.forward}),
              (QList<bool>{true, false, true, true, false, true}));
    EXPECT_EQ((QStringList{rule.forwardTo, rule.forwardCc, rule.forwardBcc, rule.name}),
              (QStringList{"a@x.jp\tb@x.jp", "", "c@x.jp", ""})) << "a null column reads as empty; no name is filled";

    // Listed with every flag off still counts as found.
    AddRule(QStringLiteral("quiet@example.jp"), "000000");
    SenderRule quiet;
    quiet.reject = true;
    EXPECT_TRUE(Rule(QStringLiteral("quiet@example.jp"), quiet) && !quiet.reject);

    // Letter case is ignored on both sides, non-ASCII letters included.
    const std::pair<const char*, const char*> pairs[] = {
        {"o'brien@example.ie", "O'Brien@Example.IE"},
        {"ÄÖÜÉÈÊËÎÏ@ÀÂÇ.fr", "äöüéèêëîï@àâç.fr"},  // long non-ASCII address beyond the probe limit
    };
    for (const auto& [stored, probe] : pairs) {
        AddRule(QString::fromUtf8(stored), "000100");
        EXPECT_TRUE(Rule(QString::fromUtf8(probe), rule) && rule.log) << probe;
    }
    for (const char* other : {"ä@àâç.fr", "äöüéèêëîï@àâç.frx", "o''brien@example.ie", "' OR '1'='1", ""})
        EXPECT_FALSE(Rule(QString::fromUtf8(other), rule)) << other;

    for (const QString& address : QStringList{"ЖУРНАЛ@пример.рф", "it's@example.jp"})
        Db().Exec("INSERT INTO tblAdrbook (電子メールアドレス, 表示名) VALUES (?, 'x')", {address});
    EXPECT_TRUE(InBook(QStringLiteral(" журнал@ПРИМЕР.РФ ")));
    EXPECT_TRUE(InBook(QStringLiteral("IT'S@example.jp")));
    EXPECT_FALSE(InBook(QStringLiteral("o'brien@example.ie"))) << "the rule list is not the address book";
    // A missing database is an error, not "not listed".
    settings.listDatabaseName = QStringLiteral("absent");
    EXPECT_FALSE(InBook(QStringLiteral("IT'S@example.jp"), true));
}

} // namespace
} // namespace lw::engine
