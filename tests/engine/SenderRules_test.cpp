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
    EXPECT_EQ(NormaliseAddressList(QStringLiteral("a@x.jp  b@x.jp")), QStringLiteral("a@x.jp\tb@x.jp"));
    EXPECT_EQ(NormaliseAddressList(QStringLiteral(" ;a@x.jp;;; b@x.jp ; ")), QStringLiteral("a@x.jp\tb@x.jp"));
    EXPECT_EQ(NormaliseAddressList(QStringLiteral("  Only@X.jp  ")), QStringLiteral("only@x.jp"));
    EXPECT_EQ(NormaliseAddressList(QStringLiteral("a@x.jp\tb@x.jp")), QStringLiteral("a@x.jp\tb@x.jp"))
        << "a TAB already there stays";
    EXPECT_EQ(NormaliseAddressList(QStringLiteral("ÖRJAN@例え.JP")), QStringLiteral("örjan@例え.jp"));
    EXPECT_EQ(NormaliseAddressList(QString()), QString());
    EXPECT_EQ(NormaliseAddressList(QStringLiteral(" ;　")), QString());
}

class SenderRulesTest : public test::StoreFixture {
protected:
    void AddRule(const QString& address, const QVariantList& flags, const QVariant& to = QStringLiteral(""),
                 const QVariant& cc = QStringLiteral(""), const QVariant& bcc = QStringLiteral(""))
    {
        QVariantList values{address};
        values << flags << to << cc << bcc;
        Peek(DatabasePath()).Exec(
            QStringLiteral("INSERT INTO tblList (アドレス, 印刷, メール保存, ボックスクリア, ログ出力, 受信拒否, メール転送, "
                           "転送先TO, 転送先CC, 転送先BCC) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
            values);
    }

    void AddBookEntry(const QString& address)
    {
        Peek(DatabasePath()).Exec(QStringLiteral("INSERT INTO tblAdrbook (電子メールアドレス, 表示名) VALUES (?, 'x')"), {address});
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
    rule.address = QStringLiteral("kept");
    rule.name = QStringLiteral("kept");
    ASSERT_TRUE(Rule(QStringLiteral("  taro@example.jp "), rule));
    EXPECT_TRUE(rule.print);
    EXPECT_FALSE(rule.save);
    EXPECT_TRUE(rule.clear);
    EXPECT_TRUE(rule.log);
    EXPECT_FALSE(rule.reject);
    EXPECT_TRUE(rule.forward);
    EXPECT_EQ(rule.forwardTo, QStringLiteral("a@x.jp\tb@x.jp"));
    EXPECT_EQ(rule.forwardCc, QString()) << "a null column reads as empty";
    EXPECT_EQ(rule.forwardBcc, QStringLiteral("c@x.jp"));
    EXPECT_EQ(rule.address, QStringLiteral("kept"));
    EXPECT_EQ(rule.name, QStringLiteral("kept"));

    // Not listed: the rule stays as it was.
    SenderRule untouched;
    untouched.print = true;
    untouched.forwardTo = QStringLiteral("z@z");
    EXPECT_FALSE(Rule(QStringLiteral("jiro@example.jp"), untouched));
    EXPECT_TRUE(untouched.print);
    EXPECT_EQ(untouched.forwardTo, QStringLiteral("z@z"));

    // Listed with every flag off still counts as found.
    AddRule(QStringLiteral("quiet@example.jp"), {0, 0, 0, 0, 0, 0});
    SenderRule quiet;
    quiet.reject = true;
    EXPECT_TRUE(Rule(QStringLiteral("quiet@example.jp"), quiet));
    EXPECT_FALSE(quiet.reject);
}

TEST_F(SenderRulesTest, LetterCaseIsIgnoredOnBothSidesIncludingNonAscii)
{
    AddRule(QStringLiteral("Taro@Example.COM"), {1, 0, 0, 0, 0, 0});
    AddRule(QStringLiteral("hanako@example.com"), {0, 1, 0, 0, 0, 0});
    AddRule(QStringLiteral("ÖRJAN@Bücher.de"), {0, 0, 1, 0, 0, 0});
    AddRule(QStringLiteral("дмитрий@пример.рф"), {0, 0, 0, 1, 0, 0});
    AddRule(QStringLiteral("o'brien@example.ie"), {0, 0, 0, 0, 1, 0});
    AddRule(QStringLiteral("山田@例え.jp"), {0, 0, 0, 0, 0, 1});

    SenderRule rule;
    EXPECT_TRUE(Rule(QStringLiteral("tARO@example.com"), rule));
    EXPECT_TRUE(rule.print);
    EXPECT_TRUE(Rule(QStringLiteral("HANAKO@EXAMPLE.COM"), rule));
    EXPECT_TRUE(rule.save);
    EXPECT_TRUE(Rule(QStringLiteral("örjan@bÜcher.DE"), rule));
    EXPECT_TRUE(rule.clear);
    EXPECT_TRUE(Rule(QStringLiteral("ДМИТРИЙ@Пример.РФ"), rule));
    EXPECT_TRUE(rule.log);
    EXPECT_TRUE(Rule(QStringLiteral("O'Brien@Example.IE"), rule));
    EXPECT_TRUE(rule.reject);
    EXPECT_TRUE(Rule(QStringLiteral("山田@例え.JP"), rule));
    EXPECT_TRUE(rule.forward);
    EXPECT_FALSE(Found(QStringLiteral("orjan@bucher.de"))) << "case, not accents";
    EXPECT_FALSE(Found(QStringLiteral("o''brien@example.ie")));
    EXPECT_FALSE(Found(QStringLiteral("' OR '1'='1")));
    EXPECT_FALSE(Found(QString()));

    // A long non-ASCII address beyond the probe limit is still matched.
    const QString many = QStringLiteral("ÄÖÜÉÈÊËÎÏ@ÀÂÇ.fr");
    AddRule(many, {1, 1, 0, 0, 0, 0});
    EXPECT_TRUE(Found(many.toLower()));
    EXPECT_FALSE(Found(many.toLower() + QStringLiteral("x")));

    AddBookEntry(QStringLiteral("Book@Example.JP"));
    AddBookEntry(QStringLiteral("ЖУРНАЛ@пример.рф"));
    AddBookEntry(QStringLiteral("it's@example.jp"));
    EXPECT_TRUE(InBook(QStringLiteral(" book@example.jp ")));
    EXPECT_TRUE(InBook(QStringLiteral("журнал@ПРИМЕР.РФ")));
    EXPECT_TRUE(InBook(QStringLiteral("IT'S@example.jp")));
    EXPECT_FALSE(InBook(QStringLiteral("taro@example.com"))) << "the rule list is not the address book";

    // The same on a connection held open across lookups, as a poll cycle does.
    QString error;
    ASSERT_TRUE(store::OpenListDatabase(home.Path(), settings.reffile, error));
    {
        const QSqlDatabase db = store::ListConnection();
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
