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
    EXPECT_EQ(NormaliseAddressList(QStringLiteral("Taro@Example.JP; hanako@example.jp　jiro@example.jp")),
              QStringLiteral("taro@example.jp\thanako@example.jp\tjiro@example.jp"));
    EXPECT_EQ(NormaliseAddressList(QStringLiteral(" ;a@x.jp;;; b@x.jp\tc@x.jp ; ")), QStringLiteral("a@x.jp\tb@x.jp\tc@x.jp"));
    EXPECT_EQ(NormaliseAddressList(QStringLiteral("ÖRJAN@例え.JP")), QStringLiteral("örjan@例え.jp"));
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
        QString error;
        const bool found = LookUpSenderRule(settings.programFolder, settings.reffile, address, rule, error);
        EXPECT_TRUE(error.isEmpty()) << error.toStdString();
        EXPECT_FALSE(store::ListConnection().isValid()) << "no connection stays open between lookups";
        return found;
    }

    bool Found(const QString& address)
    {
        SenderRule rule;
        return Rule(address, rule);
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
    EXPECT_EQ(rule.forwardTo, QStringLiteral("a@x.jp\tb@x.jp"));
    EXPECT_EQ(rule.forwardCc, QString()) << "a null column reads as empty";
    EXPECT_EQ(rule.forwardBcc, QStringLiteral("c@x.jp"));
    EXPECT_EQ(rule.name, QStringLiteral("kept"));

    // Not listed: the rule stays as it was. Listed with every flag off still counts as found.
    SenderRule untouched;
    untouched.print = true;
    untouched.forwardTo = QStringLiteral("z@z");
    EXPECT_FALSE(Rule(QStringLiteral("jiro@example.jp"), untouched));
    EXPECT_TRUE(untouched.print);
    EXPECT_EQ(untouched.forwardTo, QStringLiteral("z@z"));
    AddRule(QStringLiteral("quiet@example.jp"), {0, 0, 0, 0, 0, 0});
    untouched.reject = true;
    EXPECT_TRUE(Rule(QStringLiteral("quiet@example.jp"), untouched));
    EXPECT_FALSE(untouched.reject);
}

TEST_F(SenderRulesTest, LetterCaseIsIgnoredOnBothSidesIncludingNonAscii)
{
    const std::pair<const char*, const char*> pairs[] = {
        {"Taro@Example.COM", "tARO@example.com"},     {"ÖRJAN@Bücher.de", "örjan@bÜcher.DE"},
        {"дмитрий@пример.рф", "ДМИТРИЙ@Пример.РФ"}, {"o'brien@example.ie", "O'Brien@Example.IE"},
        {"山田@例え.jp", "山田@例え.JP"},
        {"ÄÖÜÉÈÊËÎÏ@ÀÂÇ.fr", "äöüéèêëîï@àâç.fr"}, // long non-ASCII address beyond the probe limit
    };
    for (const auto& [stored, probe] : pairs) {
        AddRule(QString::fromUtf8(stored), {0, 0, 0, 1, 0, 0});
        SenderRule rule;
        EXPECT_TRUE(Rule(QString::fromUtf8(probe), rule)) << probe;
        EXPECT_TRUE(rule.log) << probe;
    }
    EXPECT_FALSE(Found(QStringLiteral("orjan@bucher.de"))) << "case, not accents";
    EXPECT_FALSE(Found(QStringLiteral("äöüéèêëîï@àâç.frx")));
    EXPECT_FALSE(Found(QStringLiteral("o''brien@example.ie")));
    EXPECT_FALSE(Found(QStringLiteral("' OR '1'='1")));
    EXPECT_FALSE(Found(QString()));

    for (const char* address : {"Book@Example.JP", "ЖУРНАЛ@пример.рф", "it's@example.jp"})
        Peek(DatabasePath()).Exec(QStringLiteral("INSERT INTO tblAdrbook (電子メールアドレス, 表示名) VALUES (?, 'x')"),
                                  {QString::fromUtf8(address)});
    EXPECT_TRUE(InBook(QStringLiteral(" book@example.jp ")));
    EXPECT_TRUE(InBook(QStringLiteral("журнал@ПРИМЕР.РФ")));
    EXPECT_TRUE(InBook(QStringLiteral("IT'S@example.jp")));
    EXPECT_FALSE(InBook(QStringLiteral("taro@example.com"))) << "the rule list is not the address book";

    // The same on a connection held open across lookups, as a poll cycle does.
    QString error;
    ASSERT_TRUE(store::OpenListDatabase(home.Path(), settings.reffile, error));
    {
        const QSqlDatabase db = store::ListConnection();
        SenderRule rule;
        EXPECT_TRUE(LookUpSenderRule(db, QStringLiteral("ДМИТРИЙ@ПРИМЕР.РФ"), rule, error));
        EXPECT_FALSE(LookUpSenderRule(db, QStringLiteral("nobody@x"), rule, error));
        EXPECT_TRUE(LookUpAddressBook(db, QStringLiteral("BOOK@example.jp"), error));
        EXPECT_TRUE(error.isEmpty());
        EXPECT_TRUE(db.isOpen());
    }
    store::CloseListDatabase();
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

    // A stale error text from the caller does not survive a good lookup.
    settings.reffile = QStringLiteral("list");
    EXPECT_FALSE(LookUpSenderRule(settings.programFolder, settings.reffile, QStringLiteral("a@b"), rule, error));
    EXPECT_TRUE(error.isEmpty());
}

} // namespace
} // namespace lw::engine
