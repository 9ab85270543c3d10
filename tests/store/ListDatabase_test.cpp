#include "store/ListDatabase.h"

#include "store/StoreFixture.h"

#include <QFileInfo>

#include <thread>

namespace lw::store {
namespace {

struct RecordingQuestion final : DatabaseQuestion {
    explicit RecordingQuestion(bool a) : answer(a) {}
    bool Confirm(const QString& message) override { return asked << message, answer; }
    bool answer;
    QStringList asked;
};

class ListDatabaseTest : public test::StoreFixture {
  protected:
    void TearDown() override { CloseListDatabase(); }
    void Open(const QString& name = "list")
    {
        const base::Status opened = OpenListDatabase(home.Path(), name);
        ASSERT_TRUE(opened.Ok()) << opened.ErrorText().toStdString();
    }
};

TEST_F(ListDatabaseTest, EnsureAsksFirstOpenNeverCreatesOrAcceptsABrokenFileKeepsQueriesAndIsPerThread)
{
    // Ensure asks before creating, and creates nothing without consent or a template.
    EXPECT_EQ(ListDatabasePath(QStringLiteral("/p/"), QStringLiteral(" list.db ")), QStringLiteral("/p/list.db"));
    EXPECT_EQ(ListDatabasePath(QStringLiteral("/p"), QStringLiteral("my.list")), QStringLiteral("/p/my.list.db"));
    const QString folder = home.File(QStringLiteral("prog"));
    const QString file = folder + QStringLiteral("/list.db");

    RecordingQuestion cancel(false);
    EXPECT_FALSE(EnsureListDatabase(folder, QStringLiteral(" list "), test::TemplateDatabase(), cancel));
    EXPECT_EQ(cancel.asked, QStringList{u'[' + file + QStringLiteral("]が存在しません。\r新規作成しますか？")});
    EXPECT_FALSE(QFileInfo::exists(folder)) << "Cancel creates no folder";

    RecordingQuestion ok(true);
    EXPECT_FALSE(EnsureListDatabase(folder, QStringLiteral("list"), home.File(QStringLiteral("none.db")), ok));
    EXPECT_FALSE(QFileInfo::exists(folder)) << "no template: nothing created";

    EXPECT_TRUE(EnsureListDatabase(folder + u'/', QStringLiteral(" list "), test::TemplateDatabase(), ok));
    const qsizetype asked = ok.asked.size();
    EXPECT_TRUE(EnsureListDatabase(folder, QStringLiteral("list.db"), QString(), ok)) << "exists: no template needed";
    EXPECT_EQ(ok.asked.size(), asked) << "an existing database is not asked about";

    // Open never creates a database or accepts a broken file, and keeps live queries across a
    // reopen and a hold.
    const QString missing = OpenListDatabase(home.Path(), "missing").ErrorText();
    EXPECT_TRUE(missing.contains("missing.db")) << missing.toStdString();
    EXPECT_FALSE(QFileInfo::exists(home.File("missing.db")));
    ASSERT_FALSE(test::WriteFile(home.Path(), "broken.db", QByteArray(4096, 'x')).isEmpty());
    EXPECT_FALSE(OpenListDatabase(home.Path(), "broken").Ok());
    EXPECT_FALSE(ListConnection().isValid());

    ASSERT_TRUE(QFile::copy(DatabasePath(), home.File(QStringLiteral("second.db"))));
    Db().Exec("INSERT INTO tblList (アドレス) VALUES ('a@x.jp'), ('b@x.jp')");
    Open();
    EXPECT_EQ(Db().Value("PRAGMA journal_mode").toString(), "wal");
    QSqlQuery grid(ListConnection());
    ASSERT_TRUE(grid.exec(QStringLiteral("SELECT アドレス FROM tblList ORDER BY アドレス")) && grid.next());
    // A dialog over a window opens the same file again: the window's rows stay usable.
    Open(QStringLiteral("list.db"));
    ASSERT_TRUE(grid.next());
    EXPECT_EQ(grid.value(0).toString(), QStringLiteral("b@x.jp"));
    grid = QSqlQuery();

    {
        const ListConnectionHold outer;
        {
            const ListConnectionHold inner;
            CloseListDatabase();
            EXPECT_TRUE(ListConnection().isOpen()) << "closed under a hold";
            Open(QStringLiteral("second"));
            QSqlQuery count(QStringLiteral("SELECT count(*) FROM tblList"), ListConnection());
            EXPECT_TRUE(count.next() && count.value(0).toInt() == 0) << "now on the second file";
        }
        EXPECT_TRUE(ListConnection().isOpen()) << "the outer hold still keeps it";
    }
    EXPECT_FALSE(ListConnection().isValid()) << "the waiting close happens with the last hold";
    Open();
    { const ListConnectionHold hold; }
    EXPECT_TRUE(ListConnection().isOpen()) << "without a close asked for, a hold changes nothing";

    // Each thread has a connection of its own, removed when the thread closes it.
    const QString mine = ListConnection().connectionName();
    QString name, error;
    std::thread([&] {
        error = OpenListDatabase(home.Path(), "list").ErrorText();
        name = ListConnection().connectionName();
        CloseListDatabase();
    }).join();
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    EXPECT_NE(name, mine);
    EXPECT_FALSE(QSqlDatabase::contains(name)) << "a thread's connection is removed";
}

TEST_F(ListDatabaseTest, SchemaKeepsItsInvariants)
{
    const test::Peek peek = Db();
    // 受信日 must keep one text form or comparisons and ORDER BY go wrong.
    EXPECT_FALSE(QSqlQuery(peek.Db()).exec(
        QStringLiteral("INSERT INTO tblHistory (保存ファイルID, 受信日) VALUES ('x', '2008/03/01 10:00:00')")));
    peek.Exec(QStringLiteral("INSERT INTO tblHistory (保存ファイルID, 受信日) VALUES ('y', '2008-03-01T10:00:00')"));
    EXPECT_FALSE(QSqlQuery(peek.Db()).exec(QStringLiteral("INSERT INTO tblHistory (保存ファイルID) VALUES ('Y')")))
        << "one row per message ID, letter case ignored";
    EXPECT_FALSE(QSqlQuery(peek.Db()).exec(QStringLiteral("INSERT INTO tblList (アドレス, 印刷) VALUES ('x@y', 2)")))
        << "yes/no columns hold only 0 and 1";
}

} // namespace
} // namespace lw::store
