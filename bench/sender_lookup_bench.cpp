// Sender rule and address book lookups against 10,000 rules and 50,000 address book entries.
// Aims: over 5,000 lookups/s opening and closing the connection per lookup, over 100,000/s
// on a connection held open.
#include "engine/SenderRules.h"
#include "store/ListDatabase.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr int kRules = 10000;
constexpr int kBook = 50000;

// One filled list database for every benchmark of the run.
struct Fixture {
    QTemporaryDir home;
    bool ok = false;

    Fixture()
    {
        const QString path = home.filePath(QStringLiteral("list.db"));
        if (!QFile::copy(QStringLiteral(LW_BUILD_DIR "/src/app/list_org.db"), path)) return;
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fill"));
            db.setDatabaseName(path);
            if (!db.open()) return;
            QSqlQuery query(db);
            ok = query.exec(QStringLiteral("BEGIN")) &&
                 query.exec(QStringLiteral(
                     "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < %1) "
                     "INSERT INTO tblList (アドレス, 名前, 印刷, メール保存, 転送先TO) "
                     "SELECT 'Sender' || i || '@Example.co.jp', 'name', i % 2, 1, 'a@x.jp; b@x.jp' FROM n")
                                .arg(kRules)) &&
                 query.exec(QStringLiteral(
                     "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < %1) "
                     "INSERT INTO tblAdrbook (電子メールアドレス, 表示名) "
                     "SELECT 'user' || i || '@example.co.jp', 'name' FROM n")
                                .arg(kBook)) &&
                 query.exec(QStringLiteral("COMMIT"));
            query = QSqlQuery();
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    }
};

Fixture& Data()
{
    static Fixture fixture;
    return fixture;
}

// Half the senders are listed, written in another letter case than the rule.
QString Sender(std::int64_t i)
{
    return (i % 2 == 0) ? QStringLiteral("sender%1@example.CO.JP").arg(i % kRules)
                        : QStringLiteral("stranger%1@example.co.jp").arg(i);
}

void BM_SenderRuleOpenClose(benchmark::State& state)
{
    if (!Data().ok) return state.SkipWithError("cannot build the database");
    std::int64_t i = 0;
    std::int64_t found = 0;
    for (auto _ : state) {
        const lw::engine::RuleLookup rule =
            lw::engine::LookUpSenderRule(Data().home.path(), QStringLiteral("list"), Sender(i++));
        if (!rule) return state.SkipWithError(rule.ErrorText().toStdString().c_str());
        found += rule->has_value();
    }
    state.counters["lookups/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["found"] = double(found) / double(state.iterations());
}
BENCHMARK(BM_SenderRuleOpenClose)->MinTime(2.0);

// Times lookUp(lookup, i) with one connection and one lookup held open across all calls.
template <typename LookUp>
void HeldOpen(benchmark::State& state, LookUp lookUp)
{
    if (!Data().ok) return state.SkipWithError("cannot build the database");
    if (const lw::base::Status opened = lw::store::OpenListDatabase(Data().home.path(), QStringLiteral("list"));
        !opened)
        return state.SkipWithError(opened.ErrorText().toStdString().c_str());
    {
        lw::engine::SenderLookup lookup(lw::store::ListConnection());
        std::int64_t i = 0;
        for (auto _ : state) benchmark::DoNotOptimize(lookUp(lookup, i++));
    }
    lw::store::CloseListDatabase();
    state.counters["lookups/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_SenderRuleHeldOpen(benchmark::State& state)
{
    HeldOpen(state, [](lw::engine::SenderLookup& lookup, std::int64_t i) { return lookup.FindRule(Sender(i)); });
}
BENCHMARK(BM_SenderRuleHeldOpen)->MinTime(2.0);

void BM_AddressBookOpenClose(benchmark::State& state)
{
    if (!Data().ok) return state.SkipWithError("cannot build the database");
    std::int64_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(lw::engine::LookUpAddressBook(
            Data().home.path(), QStringLiteral("list"),
            QStringLiteral("USER%1@example.co.jp").arg((i++ * 7) % (2 * kBook))));
    }
    state.counters["lookups/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AddressBookOpenClose)->MinTime(2.0);

void BM_AddressBookHeldOpen(benchmark::State& state)
{
    HeldOpen(state, [](lw::engine::SenderLookup& lookup, std::int64_t i) {
        return lookup.InAddressBook(QStringLiteral("USER%1@example.co.jp").arg((i * 7) % (2 * kBook)));
    });
}
BENCHMARK(BM_AddressBookHeldOpen)->MinTime(2.0);

} // namespace
