#include "store/AddressBookImport.h"

#include "store/ListDatabase.h"
#include "store/StoreFixture.h"

#include <QStringEncoder>

#include <gtest/gtest.h>

#include <iconv.h>

#include <string>
#include <utility>

namespace lw::store {
namespace {

using Book = QList<std::pair<QString, QString>>;  // (電子メールアドレス, 表示名) in rowid order

QByteArray ToCp932(const QString& text)
{
    iconv_t cd = iconv_open("CP932", "UTF-8");
    const QByteArray utf8 = text.toUtf8();
    QByteArray out(utf8.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(utf8.constData());
    std::size_t inLeft = static_cast<std::size_t>(utf8.size());
    char* outPtr = out.data();
    std::size_t outLeft = static_cast<std::size_t>(out.size());
    const std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    EXPECT_NE(rc, static_cast<std::size_t>(-1)) << "test text not representable in CP932";
    out.truncate(out.size() - static_cast<qsizetype>(outLeft));
    return out;
}

class AddressBookImportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFile::copy(test::TemplateDatabase(), m_home.File("list.db")));
        QFile::setPermissions(m_home.File("list.db"), QFile::ReadOwner | QFile::WriteOwner);
    }

    QString Write(const QString& name, const QByteArray& bytes)
    {
        QFile file(m_home.File(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    }

    static QString Fixture(const QString& name) { return QStringLiteral(TEST_DATA_DIR "/csv/") + name; }

    bool Import(const QString& path, QString* errorOut = nullptr, const ImportProgress& progress = {})
    {
        QString error;
        const bool ok = ImportAddressBook(path, m_home.Path(), QStringLiteral(" list "), m_report, error, progress);
        if (errorOut) *errorOut = error;
        else EXPECT_TRUE(ok) << error.toStdString();
        return ok;
    }

    Book Rows()
    {
        Book rows;
        for (const QSqlRecord& row : test::Peek(m_home.File("list.db")).Rows(
                 QStringLiteral("SELECT 電子メールアドレス, 表示名 FROM tblAdrbook ORDER BY rowid")))
            rows.append({row.value(0).toString(), row.value(1).toString()});
        return rows;
    }

    test::TempHome m_home;
    ImportReport m_report;
};

const Book kSmallBook = {{"taro@example.jp", "山田 太郎"}, {"hanako@example.jp", "鈴木 花子"}};

TEST_F(AddressBookImportTest, DetectsEncodingFromMarkAndContent)
{
    const QString text = QStringLiteral("姓,表示名,電子メール アドレス\r\n山田,山田 太郎,taro@example.jp\r\n"
                                        "鈴木,鈴木 花子,hanako@example.jp\r\n");
    QStringEncoder le(QStringConverter::Utf16LE);
    QStringEncoder be(QStringConverter::Utf16BE);
    const QList<std::pair<QByteArray, QString>> files = {
        {text.toUtf8(), "UTF-8"},
        {"\xEF\xBB\xBF" + text.toUtf8(), "UTF-8"},
        {"\xFF\xFE" + QByteArray(le(text)), "UTF-16LE"},
        {"\xFE\xFF" + QByteArray(be(text)), "UTF-16BE"},
        {ToCp932(text), "CP932"},
    };
    for (const auto& [bytes, encoding] : files) {
        SCOPED_TRACE(encoding.toStdString());
        Import(Write("book.csv", bytes));
        EXPECT_EQ(m_report.encoding, encoding);
        EXPECT_EQ(Rows(), kSmallBook);
    }

    // Windows-only characters (NEC and IBM extensions) survive; a stray byte becomes U+FFFD.
    QByteArray cp932 = ToCp932(QStringLiteral("表示名,電子メール アドレス\r\n髙橋①㈱,t@example.jp\r\n"));
    cp932 += "\xFF" "bad,b@example.jp\r\n";
    Import(Write("ext.csv", cp932));
    EXPECT_EQ(m_report.encoding, "CP932");
    EXPECT_EQ(Rows(), (Book{{"t@example.jp", "髙橋①㈱"}, {"b@example.jp", QStringLiteral("\uFFFDbad")}}));
}

TEST_F(AddressBookImportTest, ReadsQuotedFieldsAsCsvExportsWriteThem)
{
    Import(Fixture("outlook-quoted-fields.csv"));
    EXPECT_EQ(Rows(), (Book{{"taro@example.jp", "山田, 太郎"},
                            {"quote@example.jp", "He said \"hi\""},
                            {"hanako@example.jp", "鈴木 花子 様"},
                            {"jiro@example.jp", "ab\"cd"}}));
    EXPECT_EQ(m_report.rows, 4);
}

TEST_F(AddressBookImportTest, FailureKeepsThePreviousBookAndNamesTheLine)
{
    Import(Write("good.csv", "表示名,電子メール アドレス\r\n山田 太郎,taro@example.jp\r\n鈴木 花子,hanako@example.jp\r\n"));
    ASSERT_EQ(Rows(), kSmallBook);

    QString error;
    // A quoted line break counts as a line: the 101-field record after it is on line 4.
    const QByteArray wide = "表示名,電子メール アドレス\r\n\"a\r\nb\",a@example.jp\r\nx" + QByteArray(",x").repeated(100);
    const std::pair<QString, const char*> broken[] = {{Fixture("too-many-fields-line-4.csv"), "4行目"},
                                                      {Fixture("unterminated-quote.csv"), "3行目"},
                                                      {Write("wide.csv", wide), "4行目"}};
    for (const auto& [path, line] : broken) {
        EXPECT_FALSE(Import(path, &error));
        EXPECT_TRUE(error.startsWith(QString::fromUtf8(line))) << error.toStdString();
        EXPECT_EQ(Rows(), kSmallBook);
    }
    EXPECT_TRUE(error.contains("100")) << error.toStdString();

    EXPECT_FALSE(Import(m_home.File("missing.csv"), &error));
    EXPECT_TRUE(error.contains("missing.csv")) << error.toStdString();
    EXPECT_EQ(Rows(), kSmallBook);

    // The database refuses rows: a trigger stands in for any refusal on line 3.
    test::Peek(m_home.File("list.db")).Exec("CREATE TRIGGER refuse BEFORE INSERT ON tblAdrbook WHEN NEW.電子メールアドレス = "
                                            "'bad@example.jp' BEGIN SELECT RAISE(ABORT, 'refused by rule'); END");
    EXPECT_FALSE(Import(Write("refused.csv", "表示名,電子メール アドレス\r\nA,a@example.jp\r\nB,bad@example.jp\r\n"), &error));
    EXPECT_TRUE(error.startsWith("3行目")) << error.toStdString();
    EXPECT_TRUE(error.contains("refused by rule")) << error.toStdString();
    EXPECT_EQ(Rows(), kSmallBook);

    // Cancelling from the progress callback changes nothing either.
    EXPECT_FALSE(Import(Fixture("duplicate-address-later-wins.csv"), &error, [](qint64, qint64) { return false; }));
    EXPECT_TRUE(m_report.cancelled);
    EXPECT_EQ(Rows(), kSmallBook);

    // No database: nothing to keep, but a clear reason.
    ASSERT_TRUE(QFile::remove(m_home.File("list.db")));
    EXPECT_FALSE(Import(Fixture("duplicate-address-later-wins.csv"), &error));
    EXPECT_TRUE(error.contains("list.db")) << error.toStdString();
}

TEST_F(AddressBookImportTest, TitleLineAndDataLineRules)
{
    // Empty file and title-only file empty the book.
    for (const QByteArray& empty : {QByteArray(), QByteArray("表示名,電子メール アドレス\r\n")}) {
        Import(Write("seed.csv", "表示名,電子メール アドレス\r\nA,a@example.jp\r\n"));
        Import(Write("empty.csv", empty));
        EXPECT_TRUE(Rows().isEmpty());
    }

    // A missing title falls back to column 0; the address title needs its half-width space.
    Import(Write("noname.csv", "電子メール アドレス,名\r\nx@example.jp,X\r\n"));
    EXPECT_EQ(Rows(), (Book{{"x@example.jp", "x@example.jp"}}));
    Import(Write("nospace.csv", "表示名,電子メールアドレス\r\nY,y@example.jp\r\n"));
    EXPECT_EQ(Rows(), (Book{{"Y", "Y"}}));

    // The last of two equal titles counts; fields are trimmed of spaces.
    Import(Write("twice.csv", "表示名 , 表示名,電子メール アドレス\r\n旧,  新  , z@example.jp \r\n"));
    EXPECT_EQ(Rows(), (Book{{"z@example.jp", "新"}}));

    // Later line wins, matched without regard to ASCII case; the first spelling stays.
    Import(Fixture("duplicate-address-later-wins.csv"));
    EXPECT_EQ(Rows(), (Book{{"Dup@Example.jp", "最後"}, {"o@example.jp", "other"}}));

    // Short lines, blank lines and rows without an address are skipped, not repeated.
    Import(Fixture("short-and-blank-lines.csv"));
    EXPECT_EQ(Rows(), (Book{{"ichiro@example.jp", "一郎"}, {"saburo@example.jp", "三郎"}}));
    EXPECT_EQ(m_report.skippedLines, 2);

    // Exactly 100 fields is allowed; lone CR and bare LF both end a line.
    Import(Fixture("hundred-fields.csv"));
    EXPECT_EQ(Rows(), (Book{{"e@example.jp", "E"}}));
    Import(Write("cr.csv", "表示名,電子メール アドレス\rA,a@example.jp\nB,b@example.jp"));
    EXPECT_EQ(Rows(), (Book{{"a@example.jp", "A"}, {"b@example.jp", "B"}}));
}

TEST_F(AddressBookImportTest, ReportsProgressUpToTheTotal)
{
    QByteArray csv = "表示名,電子メール アドレス\r\n";
    for (int i = 0; i < 2500; ++i) csv += QByteArray("n,") + QByteArray::number(i) + "@example.jp\r\n";
    QList<std::pair<qint64, qint64>> calls;
    Import(Write("big.csv", csv), nullptr, [&](qint64 done, qint64 total) {
        calls.append({done, total});
        return true;
    });
    ASSERT_GE(calls.size(), 3);
    for (qsizetype i = 1; i < calls.size(); ++i) EXPECT_GT(calls[i].first, calls[i - 1].first);
    EXPECT_EQ(calls.back(), (std::pair<qint64, qint64>{2500, 2500}));
    EXPECT_EQ(Rows().size(), 2500);
}

} // namespace
} // namespace lw::store
