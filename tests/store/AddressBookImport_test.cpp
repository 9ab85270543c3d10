#include "store/AddressBookImport.h"

#include "store/StoreFixture.h"

#include <QStringEncoder>

#include <tuple>

namespace lw::store {
namespace {

using Book = QList<std::pair<QString, QString>>;  // (電子メールアドレス, 表示名) in rowid order

class AddressBookImportTest : public test::StoreFixture {
protected:
    QString Write(const QString& name, const QByteArray& bytes) { return test::WriteFile(home.Path(), name, bytes); }
    static QString Fixture(const QString& name) { return QStringLiteral(TEST_DATA_DIR "/csv/") + name; }

    // Imports; the reason it failed, empty when it succeeded.
    QString Import(const QString& path, const ImportProgress& progress = {})
    {
        return ImportAddressBook(path, home.Path(), " list ", m_report, progress).ErrorText();
    }

    Book Rows() const
    {
        Book rows;
        for (const QSqlRecord& row : test::Peek(DatabasePath()).Rows(QStringLiteral("SELECT 電子メールアドレス, 表示名 FROM tblAdrbook ORDER BY rowid")))
            rows.append({row.value(0).toString(), row.value(1).toString()});
        return rows;
    }

    ImportReport m_report;
};

const Book kSmallBook = {{"taro@example.jp", "山田 太郎"}, {"hanako@example.jp", "鈴木 花子"}};

TEST_F(AddressBookImportTest, DetectsEncodingFromMarkAndContentAndAFailureKeepsThePreviousBook)
{
    const QString text = QStringLiteral("姓,表示名,電子メール アドレス\r\n山田,山田 太郎,taro@example.jp\r\n鈴木,鈴木 花子,hanako@example.jp\r\n");
    QStringEncoder le(QStringConverter::Utf16LE);
    const QList<std::pair<QByteArray, QString>> files = {
        {text.toUtf8(), "UTF-8"},
        {"\xEF\xBB\xBF" + text.toUtf8(), "UTF-8"},
        {"\xFF\xFE" + QByteArray(le(text)), "UTF-16LE"},
        {test::Encode(text, "CP932"), "CP932"},
    };
    for (const auto& [bytes, encoding] : files) {
        EXPECT_EQ(Import(Write("book.csv", bytes)), "");
        EXPECT_EQ(m_report.encoding, encoding);
        EXPECT_EQ(Rows(), kSmallBook) << encoding.toStdString();
    }

    // Windows-only characters (NEC and IBM extensions) survive; a stray byte becomes U+FFFD.
    const QByteArray cp932 = test::Encode(QStringLiteral("表示名,電子メール アドレス\r\n髙橋①㈱,t@x.jp\r\n"), "CP932") +
                             "\xFF" "bad,b@example.jp\r\n";
    EXPECT_EQ(Import(Write("ext.csv", cp932)), "");
    EXPECT_EQ(m_report.encoding, "CP932");
    EXPECT_EQ(Rows(), (Book{{"t@x.jp", "髙橋①㈱"}, {"b@example.jp", QStringLiteral("\uFFFDbad")}}));

    // A failure keeps the previous book and names the line.
    EXPECT_EQ(Import(Write("good.csv", "表示名,電子メール アドレス\r\n山田 太郎,taro@example.jp\r\n"
                                       "鈴木 花子,hanako@example.jp\r\n")), "");
    ASSERT_EQ(Rows(), kSmallBook);

    // The database refuses rows: a trigger stands in for any refusal on line 3.
    test::Peek(DatabasePath()).Exec("CREATE TRIGGER refuse BEFORE INSERT ON tblAdrbook WHEN NEW.電子メールアドレス = "
                                    "'bad@example.jp' BEGIN SELECT RAISE(ABORT, 'refused by rule'); END");
    // A quoted line break counts as a line: the 101-field record after it is on line 4.
    const QByteArray wide = "表示名,電子メール アドレス\r\n\"a\r\nb\",a@example.jp\r\nx" + QByteArray(",x").repeated(100);
    // (file, start of the error, text the error holds)
    const std::tuple<QString, const char*, const char*> broken[] = {
        {Fixture("too-many-fields-line-4.csv"), "4行目", ""},
        {Fixture("unterminated-quote.csv"), "3行目", ""},
        {Write("wide.csv", wide), "4行目", "100"},
        {Write("refused.csv", "表示名,電子メール アドレス\r\nA,a@example.jp\r\nB,bad@example.jp\r\n"), "3行目", "refused by rule"},
        {home.File("missing.csv"), "", "missing.csv"}};
    for (const auto& [path, line, reason] : broken) {
        const QString error = Import(path);
        EXPECT_TRUE(error.startsWith(QString::fromUtf8(line)) && error.contains(QString::fromUtf8(reason)) && error.size() > 4)
            << error.toStdString();
        EXPECT_EQ(Rows(), kSmallBook);
    }

    // Cancelling from the progress callback changes nothing either.
    EXPECT_NE(Import(Fixture("duplicate-address-later-wins.csv"), [](qint64, qint64) { return false; }), "");
    EXPECT_TRUE(m_report.cancelled);
    EXPECT_EQ(Rows(), kSmallBook);

    // No database: nothing to keep, but a clear reason.
    ASSERT_TRUE(QFile::remove(DatabasePath()));
    EXPECT_TRUE(Import(Fixture("duplicate-address-later-wins.csv")).contains("list.db"));
}

TEST_F(AddressBookImportTest, TitleLineQuotingAndDataLineRules)
{
    const QByteArray seed = "表示名,電子メール アドレス\r\nA,a@example.jp\r\n";
    const std::pair<QString, Book> cases[] = {
        // An empty file empties the book.
        {Write("seed.csv", seed), {{"a@example.jp", "A"}}},
        {Write("empty.csv", ""), {}},
        // Quoted fields as CSV exports write them: commas, doubled quotes, quotes inside.
        {Fixture("outlook-quoted-fields.csv"),
         {{"taro@example.jp", "山田, 太郎"}, {"quote@example.jp", "He said \"hi\""}, {"hanako@example.jp", "鈴木 花子 様"}, {"jiro@example.jp", "ab\"cd"}}},
        // A missing title falls back to column 0; the address title needs its half-width space.
        {Write("noname.csv", "電子メール アドレス,名\r\nx@example.jp,X\r\n"), {{"x@example.jp", "x@example.jp"}}},
        {Write("nospace.csv", "表示名,電子メールアドレス\r\nY,y@example.jp\r\n"), {{"Y", "Y"}}},
        // The last of two equal titles counts; fields are trimmed of spaces.
        {Write("twice.csv", "表示名 , 表示名,電子メール アドレス\r\n旧,  新  , z@example.jp \r\n"), {{"z@example.jp", "新"}}},
        // Later line wins, matched without regard to ASCII case; the first spelling stays.
        {Fixture("duplicate-address-later-wins.csv"), {{"Dup@Example.jp", "最後"}, {"o@example.jp", "other"}}},
        // Short lines, blank lines and rows without an address are skipped, not repeated.
        {Fixture("short-and-blank-lines.csv"), {{"ichiro@example.jp", "一郎"}, {"saburo@example.jp", "三郎"}}},
        // Exactly 100 fields is allowed; lone CR and bare LF both end a line.
        {Fixture("hundred-fields.csv"), {{"e@example.jp", "E"}}},
        {Write("cr.csv", "表示名,電子メール アドレス\rA,a@example.jp\nB,b@example.jp"), {{"a@example.jp", "A"}, {"b@example.jp", "B"}}},
    };
    for (const auto& [path, book] : cases) {
        EXPECT_EQ(Import(path), "");
        EXPECT_EQ(Rows(), book) << path.toStdString();
        EXPECT_EQ(m_report.rows, book.size()) << path.toStdString();
        EXPECT_EQ(m_report.skippedLines, path.endsWith("short-and-blank-lines.csv") ? 2 : 0);
    }
}

} // namespace
} // namespace lw::store
