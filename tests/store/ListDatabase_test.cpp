#include "store/ListDatabase.h"

#include "store/FindOrAdd.h"
#include "store/Folders.h"
#include "store/StoreFixture.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>
#include <QSqlRecord>

#include <thread>

namespace lw::store {
namespace {

using test::Peek;

class RecordingQuestion final : public DatabaseQuestion {
public:
    explicit RecordingQuestion(bool answer) : m_answer(answer) {}
    bool Confirm(const QString& message) override
    {
        asked << message;
        return m_answer;
    }
    QStringList asked;

private:
    bool m_answer;
};

class ListDatabaseTest : public test::StoreFixture {
protected:
    void TearDown() override { CloseListDatabase(); }
    void Open(const QString& name = QStringLiteral("list"))
    {
        QString error;
        ASSERT_TRUE(OpenListDatabase(home.Path(), name, error)) << error.toStdString();
    }
    static bool Add(const QString& table, const ColumnValues& keys, const ColumnValues& values, QString& error,
                    bool* added = nullptr)
    {
        return FindOrAdd(ListConnection(), table, keys, values, error, added);
    }
};

TEST(FoldersTest, PathsJoinWithOneSeparator)
{
    EXPECT_EQ(ListDatabasePath(QStringLiteral("/"), QStringLiteral(" list ")), QStringLiteral("/list.db"));
    EXPECT_EQ(ListDatabasePath(QStringLiteral("/p/"), QStringLiteral("list.db")), QStringLiteral("/p/list.db"));
    EXPECT_EQ(ListDatabasePath(QStringLiteral("/p"), QStringLiteral("my.list")), QStringLiteral("/p/my.list.db"));
    EXPECT_EQ(BareFolder(QStringLiteral("/")), QStringLiteral("/"));
    EXPECT_EQ(BareFolder(QStringLiteral("/p/")), QStringLiteral("/p"));
    EXPECT_EQ(RecordFolder(QStringLiteral("/p")), QStringLiteral("/p/"));

    test::TempHome home;
    QString error;
    EXPECT_FALSE(EnsureFolder(home.File(QStringLiteral("a/b")), error)) << "creates one level only";
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(EnsureFolder(home.File(QStringLiteral("a")), error));
    EXPECT_TRUE(EnsureFolder(home.File(QStringLiteral("a")), error));
}

TEST(EnsureListDatabaseTest, AsksBeforeCreatingAndCreatesNothingWithoutConsentOrTemplate)
{
    test::TempHome home;
    const QString folder = home.File(QStringLiteral("prog"));
    const QString file = folder + QStringLiteral("/list.db");

    RecordingQuestion cancel(false);
    EXPECT_FALSE(EnsureListDatabase(folder, QStringLiteral(" list "), test::TemplateDatabase(), cancel));
    EXPECT_EQ(cancel.asked, QStringList{u'[' + file + QStringLiteral("]が存在しません。\r新規作成しますか？")});
    EXPECT_FALSE(QFileInfo::exists(folder)) << "Cancel creates no folder";

    RecordingQuestion ok(true);
    EXPECT_FALSE(EnsureListDatabase(folder, QStringLiteral("list"), home.File(QStringLiteral("none.db")), ok));
    EXPECT_FALSE(QFileInfo::exists(folder)) << "no template: nothing created";
    EXPECT_FALSE(EnsureListDatabase(home.Path(), QStringLiteral("list"), ok));
    EXPECT_FALSE(QFileInfo::exists(home.File(QStringLiteral("list.db"))));

    EXPECT_TRUE(EnsureListDatabase(folder + u'/', QStringLiteral(" list "), test::TemplateDatabase(), ok));
    EXPECT_TRUE(QFileInfo(file).isFile());
    const qsizetype asked = ok.asked.size();
    EXPECT_TRUE(EnsureListDatabase(folder, QStringLiteral("list"), QString(), ok)) << "exists: no template needed";
    EXPECT_EQ(ok.asked.size(), asked) << "an existing database is not asked about";

    // The default lookup takes the template from the program folder itself.
    const QString other = home.File(QStringLiteral("other"));
    ASSERT_TRUE(QDir().mkdir(other));
    ASSERT_TRUE(QFile::copy(test::TemplateDatabase(), other + QStringLiteral("/list_org.db")));
    EXPECT_TRUE(EnsureListDatabase(other, QStringLiteral("list"), ok));
    EXPECT_EQ(Peek(other + QStringLiteral("/list.db")).Count(QStringLiteral("SELECT count(*) FROM tblList")), 0);
}

TEST_F(ListDatabaseTest, OpenUsesWalAndNeverCreatesAMissingOrAcceptsABrokenFile)
{
    QString error;
    EXPECT_FALSE(OpenListDatabase(home.Path(), QStringLiteral("missing"), error));
    EXPECT_TRUE(error.contains(QStringLiteral("missing.db"))) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(home.File(QStringLiteral("missing.db"))));

    QFile broken(home.File(QStringLiteral("broken.db")));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write(QByteArray(4096, 'x'));
    broken.close();
    EXPECT_FALSE(OpenListDatabase(home.Path(), QStringLiteral("broken"), error));
    EXPECT_FALSE(ListConnection().isValid());

    ASSERT_TRUE(OpenListDatabase(home.Folder(), QStringLiteral(" list "), error)) << error.toStdString();
    QSqlQuery query(ListConnection());
    ASSERT_TRUE(query.exec(QStringLiteral("PRAGMA journal_mode")) && query.next());
    EXPECT_EQ(query.value(0).toString(), QStringLiteral("wal"));
    ASSERT_TRUE(query.exec(QStringLiteral("PRAGMA synchronous")) && query.next());
    EXPECT_EQ(query.value(0).toInt(), 1) << "NORMAL";
}

TEST_F(ListDatabaseTest, ReopenAndHoldKeepLiveQueriesAndDeferTheClose)
{
    ASSERT_TRUE(QFile::copy(DatabasePath(), home.File(QStringLiteral("second.db"))));
    Peek(DatabasePath()).Exec(QStringLiteral("INSERT INTO tblList (アドレス) VALUES ('a@x.jp'), ('b@x.jp')"));

    Open();
    QSqlQuery grid(ListConnection());
    ASSERT_TRUE(grid.exec(QStringLiteral("SELECT アドレス FROM tblList ORDER BY アドレス")) && grid.next());
    // A dialog over a window opens the same file again: the window's rows stay usable.
    Open(QStringLiteral("list.db"));
    ASSERT_TRUE(grid.next());
    EXPECT_EQ(grid.value(0).toString(), QStringLiteral("b@x.jp"));
    grid = QSqlQuery();
    Open(QStringLiteral("second"));
    {
        QSqlQuery count(QStringLiteral("SELECT count(*) FROM tblList"), ListConnection());
        ASSERT_TRUE(count.next());
        EXPECT_EQ(count.value(0).toInt(), 0) << "now on the second file";
    }

    {
        const ListConnectionHold outer;
        {
            const ListConnectionHold inner;
            CloseListDatabase();
            EXPECT_TRUE(ListConnection().isOpen()) << "closed under a hold";
            Open(QStringLiteral("second"));
            EXPECT_TRUE(QSqlQuery(QStringLiteral("SELECT count(*) FROM tblList"), ListConnection()).next());
        }
        EXPECT_TRUE(ListConnection().isOpen()) << "the outer hold still keeps it";
    }
    EXPECT_FALSE(ListConnection().isValid()) << "the waiting close happens with the last hold";

    Open();
    { const ListConnectionHold hold; }
    EXPECT_TRUE(ListConnection().isOpen()) << "without a close asked for, a hold changes nothing";
}

TEST_F(ListDatabaseTest, FindOrAddMatchesKeysCaseInsensitivelyBindsQuotesAndRollsBack)
{
    Open();
    const QString quoted = QStringLiteral("o'brien@example.com");
    QString error;
    bool added = false;
    ASSERT_TRUE(Add(QStringLiteral("tblList"), {{QStringLiteral("アドレス"), quoted}},
                    {{QStringLiteral("名前"), QStringLiteral("O'Brien")}}, error, &added))
        << error.toStdString();
    EXPECT_TRUE(added);
    ASSERT_TRUE(Add(QStringLiteral("tblList"), {{QStringLiteral("アドレス"), quoted.toUpper()}},
                    {{QStringLiteral("印刷"), 1}}, error, &added));
    EXPECT_FALSE(added) << "key equality ignores letter case";
    for (const char* name : {"a.txt", "b.txt"}) {
        ASSERT_TRUE(Add(QStringLiteral("tblHistoryFiles"),
                        {{QStringLiteral("保存ファイルID"), QStringLiteral("m1")},
                         {QStringLiteral("添付ファイル名"), QString::fromUtf8(name)}},
                        {}, error, &added));
        EXPECT_TRUE(added) << "both keys must match";
    }
    EXPECT_FALSE(Add(QStringLiteral("tblList"), {{QStringLiteral("アドレス"), QStringLiteral("x@y")}},
                     {{QStringLiteral("印刷"), 2}}, error))
        << "yes/no columns hold only 0 and 1";
    EXPECT_FALSE(error.isEmpty());

    for (const bool commit : {false, true}) {
        TransactionGuard transaction(ListConnection());
        ASSERT_TRUE(transaction.Begin(error)) << error.toStdString();
        ASSERT_TRUE(Add(QStringLiteral("tblAdrbook"),
                        {{QStringLiteral("電子メールアドレス"), commit ? QStringLiteral("kept@x.jp") : QStringLiteral("lost@x.jp")}},
                        {}, error));
        if (commit) {
            ASSERT_TRUE(transaction.Commit(error)) << error.toStdString();
        }
    }
    CloseListDatabase();

    Peek peek(DatabasePath());
    const auto rows = peek.Rows(QStringLiteral("SELECT アドレス, 名前, 印刷, メール保存, 転送先TO FROM tblList"));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].value(0).toString(), quoted) << "the key is written only when the row is added";
    EXPECT_EQ(rows[0].value(1).toString(), QStringLiteral("O'Brien"));
    EXPECT_EQ(rows[0].value(2).toInt(), 1);
    EXPECT_EQ(rows[0].value(3).toInt(), 0) << "new rows start with every yes/no false";
    EXPECT_EQ(rows[0].value(4).toString(), QString(""));
    EXPECT_EQ(peek.Count(QStringLiteral("SELECT count(*) FROM tblHistoryFiles")), 2);
    EXPECT_EQ(peek.Value(QStringLiteral("SELECT group_concat(電子メールアドレス) FROM tblAdrbook")).toString(),
              QStringLiteral("kept@x.jp"));
}

TEST_F(ListDatabaseTest, EachThreadHasItsOwnConnectionAndWritesDoNotCollide)
{
    constexpr int kRows = 150;
    QString names[2];
    QString errors[2];
    const auto writer = [this, &names, &errors](int which) {
        QString& error = errors[which];
        if (!OpenListDatabase(home.Path(), QStringLiteral("list"), error)) return;
        names[which] = ListConnection().connectionName();
        for (int i = 0; i < kRows && error.isEmpty(); ++i) {
            TransactionGuard transaction(ListConnection());
            // Both threads add the shared keys: BEGIN IMMEDIATE must keep them single.
            if (!transaction.Begin(error) ||
                !Add(QStringLiteral("tblList"), {{QStringLiteral("アドレス"), QStringLiteral("t%1-%2@x.jp").arg(which).arg(i)}}, {}, error) ||
                !Add(QStringLiteral("tblHistory"), {{QStringLiteral("保存ファイルID"), QStringLiteral("shared%1").arg(i)}}, {}, error) ||
                !transaction.Commit(error))
                break;
        }
        CloseListDatabase();
    };
    std::thread first(writer, 0);
    std::thread second(writer, 1);
    first.join();
    second.join();
    EXPECT_TRUE(errors[0].isEmpty()) << errors[0].toStdString();
    EXPECT_TRUE(errors[1].isEmpty()) << errors[1].toStdString();
    EXPECT_NE(names[0], names[1]);
    Peek peek(DatabasePath());
    EXPECT_EQ(peek.Count(QStringLiteral("SELECT count(*) FROM tblList")), 2 * kRows);
    EXPECT_EQ(peek.Count(QStringLiteral("SELECT count(*) FROM tblHistory")), kRows);
    EXPECT_FALSE(QSqlDatabase::contains(names[0])) << "a thread's connection is removed";
}

TEST_F(ListDatabaseTest, SchemaKeepsItsInvariantsAndIndexesTheLookups)
{
    Peek peek(DatabasePath());
    // 受信日 must keep one text form or comparisons and ORDER BY go wrong.
    EXPECT_FALSE(QSqlQuery(peek.Db()).exec(
        QStringLiteral("INSERT INTO tblHistory (保存ファイルID, 受信日) VALUES ('x', '2008/03/01 10:00:00')")));
    peek.Exec(QStringLiteral("INSERT INTO tblHistory (保存ファイルID, 受信日) VALUES ('y', '2008-03-01T10:00:00')"));
    EXPECT_FALSE(QSqlQuery(peek.Db()).exec(QStringLiteral("INSERT INTO tblHistory (保存ファイルID) VALUES ('Y')")))
        << "one row per message ID, letter case ignored";

    // Every key lookup of the store and the engine is an index search, never a scan.
    for (const char* sql : {
             "SELECT * FROM tblList WHERE アドレス = ?",
             "SELECT 1 FROM tblAdrbook WHERE 電子メールアドレス = ?",
             "SELECT rowid FROM tblHistory WHERE 保存ファイルID = ?",
             "SELECT rowid FROM tblHistoryFiles WHERE 保存ファイルID = ? AND 添付ファイル名 = ?",
             "DELETE FROM tblHistoryFiles WHERE 保存ファイルID = ?",
             "SELECT rowid FROM tblHistory WHERE 受信日 <= ? AND メール保存 = 0 ORDER BY 受信日"}) {
        const QString text = QString::fromUtf8(sql);
        QString detail;
        for (const QSqlRecord& row : peek.Rows(QStringLiteral("EXPLAIN QUERY PLAN ") + text,
                                               QVariantList(text.count(u'?'), QStringLiteral("x"))))
            detail += row.value(3).toString() + u';';
        EXPECT_TRUE(detail.contains(QStringLiteral("INDEX"))) << sql << ": " << detail.toStdString();
        EXPECT_FALSE(detail.contains(QStringLiteral("TEMP B-TREE"))) << sql;
    }
}

} // namespace
} // namespace lw::store
