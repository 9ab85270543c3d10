// Scale of the store: receipt registration with 1,000 and 1,000,000 history rows, sender lookup
// with 100 and 100,000 rules (the large cases may cost at most twice the small ones), and the
// purge of 100,000 aged rows with their work files (aim: under 5 s).
#include "engine/SenderRules.h"
#include "store/Folders.h"
#include "store/History.h"
#include "store/ListDatabase.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <map>
#include <memory>

namespace {

// Runs statements on a private connection to path; false on the first failure.
bool Fill(const QString& path, const QStringList& statements)
{
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fill"));
        db.setDatabaseName(path);
        ok = db.open();
        QSqlQuery query(db);
        for (const QString& sql : statements) {
            if (!ok) break;
            ok = query.exec(sql);
            if (!ok) std::fprintf(stderr, "%s\n", qPrintable(query.lastError().text()));
        }
        query = QSqlQuery();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    return ok;
}

int HistoryCount(const QString& path)
{
    int count = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("count"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("SELECT count(*) FROM tblHistory")) && query.next()) count = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("count"));
    return count;
}

QString Numbers(int count)
{
    return QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < %1) ").arg(count);
}

// A program folder with a list database made from the template.
struct Home {
    QTemporaryDir dir;
    lw::config::SettingsRecord settings;
    bool ok = false;

    Home()
    {
        settings.programFolder = dir.path() + u'/';
        ok = QFile::copy(QStringLiteral(LW_BUILD_DIR "/src/app/list_org.db"), Database()) &&
             QFile::setPermissions(Database(), QFile::ReadOwner | QFile::WriteOwner) &&
             QDir().mkpath(lw::store::WorkFolder(settings));
    }
    QString Database() const { return dir.filePath(QStringLiteral("list.db")); }
};

// History of `rows` messages received last year, one attachment row each.
Home& HistoryHome(int rows)
{
    static std::map<int, std::unique_ptr<Home>> homes;
    auto& home = homes[rows];
    if (!home) {
        home = std::make_unique<Home>();
        home->ok = home->ok &&
                   Fill(home->Database(),
                        {QStringLiteral("BEGIN"),
                         Numbers(rows) + QStringLiteral(
                             "INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 件名, 送信アドレス, 受信日, ファイル数) "
                             "SELECT 'old' || i || '.eml', '/nowhere/old' || i || '.eml', '件名', 'sender' || (i % 5000) || "
                             "'@example.jp', strftime('%Y-%m-%dT%H:%M:%S', 'now', '-400 days', '+' || (i % 86400) || ' seconds'), 1 FROM n"),
                         Numbers(rows) + QStringLiteral(
                             "INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名, 添付ファイル名パス) "
                             "SELECT 'old' || i || '.eml', 'a.pdf', '/nowhere/a.pdf' FROM n"),
                         QStringLiteral("UPDATE tblHistory SET メール保存 = 1"),  // out of the purge's way
                         QStringLiteral("COMMIT")});
    }
    return *home;
}

void BM_RegisterReceipt(benchmark::State& state)
{
    Home& home = HistoryHome(int(state.range(0)));
    if (!home.ok) return state.SkipWithError("cannot build the database");
    static int next = 0;
    lw::mail::ReceivedMail mail;
    mail.subject = QStringLiteral("お知らせ");
    mail.fromAddress = QStringLiteral("taro@example.jp");
    mail.received = QDateTime::currentDateTime();
    mail.attachmentCount = 2;
    for (auto _ : state) {
        mail.file = lw::store::WorkFolder(home.settings) + QStringLiteral("/new%1.eml").arg(next++);
        mail.attachments[0] = mail.file + QStringLiteral(".a.pdf");
        mail.attachments[1] = mail.file + QStringLiteral(".b.txt");
        (void)lw::store::RegisterReceipt(home.settings, mail);
        (void)lw::store::RegisterProcessing(home.settings, mail, lw::store::kActionClear, true);
    }
    state.counters["messages/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RegisterReceipt)->Arg(1000)->Arg(1000000)->MinTime(3.0)->UseRealTime();

// `rules` sender rules.
Home& RuleHome(int rules)
{
    static std::map<int, std::unique_ptr<Home>> homes;
    auto& home = homes[rules];
    if (!home) {
        home = std::make_unique<Home>();
        home->ok = home->ok && Fill(home->Database(),
                                    {Numbers(rules) + QStringLiteral(
                                         "INSERT INTO tblList (アドレス, 印刷, 転送先TO) "
                                         "SELECT 'Sender' || i || '@Example.jp', 1, 'a@x.jp b@x.jp' FROM n")});
    }
    return *home;
}

void BM_SenderLookupPerCall(benchmark::State& state)
{
    const int rules = int(state.range(0));
    Home& home = RuleHome(rules);
    if (!home.ok) return state.SkipWithError("cannot build the database");
    std::int64_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(lw::engine::LookUpSenderRule(
            home.settings.programFolder, home.settings.listDatabaseName,
            QStringLiteral("sender%1@example.jp").arg((i++ * 7919) % (2 * rules))));
    }
    state.counters["lookups/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SenderLookupPerCall)->Arg(100)->Arg(100000)->MinTime(2.0)->UseRealTime();

void BM_SenderLookupHeldOpen(benchmark::State& state)
{
    const int rules = int(state.range(0));
    Home& home = RuleHome(rules);
    if (!home.ok || !lw::store::OpenListDatabase(home.dir.path(), home.settings.listDatabaseName))
        return state.SkipWithError("cannot build the database");
    {
        lw::engine::SenderLookup lookup(lw::store::ListConnection());
        std::int64_t i = 0;
        for (auto _ : state) {
            benchmark::DoNotOptimize(
                lookup.FindRule(QStringLiteral("sender%1@example.jp").arg((i++ * 7919) % (2 * rules))));
        }
    }
    lw::store::CloseListDatabase();
    state.counters["lookups/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SenderLookupHeldOpen)->Arg(100)->Arg(100000)->MinTime(2.0)->UseRealTime();

// Unsaved rows older than keepday, each with one attachment row, beside as many recent rows
// that stay; with range(1) set, each aged row also has its message file and one extracted
// attachment in the work folder (file deletion dominates where the file system is slow to unlink).
void BM_Purge(benchmark::State& state)
{
    const int aged = int(state.range(0));
    const bool withFiles = state.range(1) != 0;
    for (auto _ : state) {
        state.PauseTiming();
        Home home;
        const QString work = lw::store::WorkFolder(home.settings);
        home.ok = home.ok &&
                  Fill(home.Database(),
                       {QStringLiteral("BEGIN"),
                        Numbers(aged) + QStringLiteral(
                            "INSERT INTO tblHistory (保存ファイルID, 保存ファイルパス, 受信日) "
                            "SELECT 'm' || i || '.eml', '%1/m' || i || '.eml', "
                            "strftime('%Y-%m-%dT%H:%M:%S', 'now', '-100 days') FROM n").arg(work),
                        Numbers(aged) + QStringLiteral(
                            "INSERT INTO tblHistoryFiles (保存ファイルID, 添付ファイル名, 添付ファイル名パス) "
                            "SELECT 'm' || i || '.eml', 'a' || i || '.pdf', '%1/a' || i || '.pdf' FROM n").arg(work),
                        Numbers(aged) + QStringLiteral(
                            "INSERT INTO tblHistory (保存ファイルID, 受信日) "
                            "SELECT 'r' || i || '.eml', strftime('%Y-%m-%dT%H:%M:%S', 'now') FROM n"),
                        QStringLiteral("COMMIT")});
        for (int i = 0; withFiles && home.ok && i < aged; ++i) {
            for (const QString& name : {QStringLiteral("/m%1.eml"), QStringLiteral("/a%1.pdf")}) {
                QFile file(work + name.arg(i));
                home.ok = file.open(QIODevice::WriteOnly) && file.write("x") == 1;
            }
        }
        if (!home.ok) return state.SkipWithError("cannot build the database");
        home.settings.keepDays = 60;
        state.ResumeTiming();

        (void)lw::store::PurgeHistory(home.settings);

        state.PauseTiming();
        if (!QDir(work).entryList(QDir::Files).isEmpty()) state.SkipWithError("work files left behind");
        if (HistoryCount(home.Database()) != aged) state.SkipWithError("wrong rows purged");
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Purge)->Args({100000, 0})->Args({2000, 1})->Args({100000, 1})->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The purge of every tick when nothing has aged but saved rows (never purged) have piled up
// below the cutoff: 1,000 against 100,000 of them.
void BM_PurgeAmongSavedRows(benchmark::State& state)
{
    Home home;
    home.ok = home.ok && Fill(home.Database(),
                              {QStringLiteral("BEGIN"),
                               Numbers(int(state.range(0))) + QStringLiteral(
                                   "INSERT INTO tblHistory (保存ファイルID, 受信日, メール保存) "
                                   "SELECT 's' || i || '.eml', strftime('%Y-%m-%dT%H:%M:%S', 'now', '-' || (100 + i % 900) "
                                   "|| ' days'), 1 FROM n"),
                               QStringLiteral("COMMIT")});
    if (!home.ok) return state.SkipWithError("cannot build the database");
    home.settings.keepDays = 60;
    for (auto _ : state) (void)lw::store::PurgeHistory(home.settings);
    if (HistoryCount(home.Database()) != state.range(0)) state.SkipWithError("saved rows purged");
}
BENCHMARK(BM_PurgeAmongSavedRows)->Arg(1000)->Arg(100000)->MinTime(1.0)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
