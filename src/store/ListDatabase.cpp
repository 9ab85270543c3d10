#include "store/ListDatabase.h"

#include "store/FindOrAdd.h"
#include "store/Folders.h"

#include "base/PosixFile.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <atomic>
#include <utility>
#include <memory>
#include <unordered_map>

namespace lw::store {

namespace {

std::atomic<int> g_busyTimeout{5000};
std::atomic<int> g_nextConnection{0};

// The calling thread's connection. Qt connections belong to the thread that made them, so each
// thread gets its own name; the connection is removed when the thread ends.
class ThreadConnection {
public:
    ThreadConnection()
        : m_name(QStringLiteral("lw_list_%1").arg(g_nextConnection.fetch_add(1)))
    {
    }
    ~ThreadConnection() { Release(); }
    ThreadConnection(const ThreadConnection&) = delete;
    ThreadConnection& operator=(const ThreadConnection&) = delete;

    const QString& Name() const { return m_name; }
    const QString& Path() const { return m_path; }
    void SetPath(const QString& path) { m_path = path; }
    // The busy time-out the connection was last given.
    int AppliedTimeout() const { return m_timeout; }
    void SetAppliedTimeout(int milliseconds) { m_timeout = milliseconds; }

    // The cached statement for sql, prepared on db when new; null when it does not prepare.
    QSqlQuery* Statement(const QSqlDatabase& db, const QString& sql)
    {
        auto found = m_statements.find(sql);
        if (found != m_statements.end()) return found->second.get();
        if (m_statements.size() >= kMaxStatements) m_statements.clear();
        auto query = std::make_unique<QSqlQuery>(db);
        query->setForwardOnly(true);
        if (!query->prepare(sql)) return nullptr;
        return m_statements.emplace(sql, std::move(query)).first->second.get();
    }

    void Release()
    {
        // An open shared transaction is committed, not lost with the connection.
        // A failure leaves its lost writes to the transaction's owner.
        if (SharedTransaction* shared = SharedTransaction::Current()) (void)shared->Commit();
        m_statements.clear(); // statements first: the connection must have no users when removed
        m_path.clear();
        m_timeout = -1;
        if (!QSqlDatabase::contains(m_name)) return;
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            db.close();
        }
        // Only after the last local copy is gone, or Qt disables the connection under its users.
        QSqlDatabase::removeDatabase(m_name);
    }

private:
    // The find-or-add statements of every table and action stay well below this.
    static constexpr std::size_t kMaxStatements = 64;

    QString m_name;
    QString m_path;
    int m_timeout = -1;
    std::unordered_map<QString, std::unique_ptr<QSqlQuery>> m_statements;
};

thread_local SharedTransaction* t_shared = nullptr;

// Holds of the calling thread, and whether a close waits for them to end.
struct HoldState {
    int holds = 0;
    bool closeWaiting = false;
};

HoldState& Holds()
{
    thread_local HoldState state;
    return state;
}

ThreadConnection& ThisThread()
{
    thread_local ThreadConnection connection;
    return connection;
}

bool CopyTemplate(const QString& templatePath, const QString& file)
{
    // Copy under a temporary name and rename, so a crash never leaves a half-copied database.
    const QString partial = file + QStringLiteral(".part");
    QFile::remove(partial);
    if (!QFile::copy(templatePath, partial)) return false;
    QFile copy(partial);
    // The history is private: owner read and write only, whatever the template's mode was.
    copy.setPermissions(QFileDevice::WriteOwner | QFileDevice::ReadOwner);
    if (!copy.rename(file)) {
        QFile::remove(partial);
        return false;
    }
    return true;
}

QString ConnectionUri(const QString& path)
{
    // mode=rw: a file removed since the caller's check is an error, not a new empty database.
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded) +
           QStringLiteral("?mode=rw");
}

// Keeps one idle connection to the file for the life of the process. While it is open, closing
// a working connection is never the last close, so SQLite does not checkpoint and delete the
// WAL and rebuild its shared memory around every open and close (a quarter of the cost). It
// holds no lock between statements and is never used after its first read.
void KeepWalOpen(const QString& path)
{
    static QMutex mutex;
    static QSet<QString> kept;
    const QMutexLocker lock(&mutex);
    if (kept.contains(path)) return;
    const QString name = QStringLiteral("lw_wal_%1").arg(kept.size());
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(ConnectionUri(path));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
        if (db.open()) {
            QSqlQuery query(db);
            ok = query.exec(QStringLiteral("SELECT 1 FROM sqlite_schema LIMIT 1"));
        }
    }
    if (!ok) {
        QSqlDatabase::removeDatabase(name);
        return;
    }
    kept.insert(path);
}

// True when the open connection can be kept; a time-out changed since it was made applies now.
bool StillUsable(ThreadConnection& connection)
{
    const QSqlDatabase db = QSqlDatabase::database(connection.Name(), false);
    if (!db.isOpen()) return false;
    const int timeout = g_busyTimeout.load();
    if (connection.AppliedTimeout() == timeout) return true;
    QSqlQuery pragma(db);
    if (!pragma.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(timeout))) return false;
    connection.SetAppliedTimeout(timeout);
    return true;
}

base::Status Connect(ThreadConnection& connection, const QString& path)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection.Name());
    db.setDatabaseName(ConnectionUri(path));
    const int timeout = g_busyTimeout.load();
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(timeout));
    if (!db.open()) return base::Fail(db.lastError().text());
    // WAL lets a reader and the service work at once; NORMAL is durable enough with WAL
    // (a power cut may lose the last commit, never corrupt the file).
    QSqlQuery query(db);
    for (const QString& pragma : {QStringLiteral("PRAGMA journal_mode=WAL"), QStringLiteral("PRAGMA synchronous=NORMAL")})
        if (base::Status set = Execute(query, pragma, {}); !set) return set;
    connection.SetAppliedTimeout(timeout);
    return {};
}

} // namespace

QString ListDatabasePath(const QString& folder, const QString& name)
{
    QString file = base::TrimSpaces(name);
    if (!file.endsWith(QStringLiteral(".db"), Qt::CaseInsensitive)) file += QStringLiteral(".db");
    return JoinPath(folder, file);
}

bool EnsureListDatabase(const QString& folder, const QString& name, DatabaseQuestion& question)
{
    const QString local = JoinPath(BareFolder(folder), QString::fromLatin1(kTemplateName));
    const QString beside =
        JoinPath(QCoreApplication::applicationDirPath(), QString::fromLatin1(kTemplateName));
    return EnsureListDatabase(folder, name, QFileInfo::exists(local) ? local : beside, question);
}

bool EnsureListDatabase(const QString& folder, const QString& name, const QString& templatePath,
                        DatabaseQuestion& question)
{
    const QString bare = BareFolder(folder);
    const QString file = ListDatabasePath(bare, name);
    if (QFileInfo::exists(file)) return true;

    if (!question.Confirm(u'[' + QDir::toNativeSeparators(file) + u']' +
                          QStringLiteral("が存在しません。") + u'\r' + QStringLiteral("新規作成しますか？")))
        return false;

    // Without a template nothing is created, not even the folder.
    if (templatePath.isEmpty() || !QFileInfo(templatePath).isFile()) return false;
    const QString target = base::TrimSpaces(bare);
    if (!QFileInfo(target).isDir() && !base::MakeOwnerOnlyFolder(QFile::encodeName(target).toStdString())) return false;
    return CopyTemplate(templatePath, file);
}

base::Status OpenListDatabase(const QString& folder, const QString& name)
{
    ThreadConnection& current = ThisThread();
    const QString path = ListDatabasePath(folder, name);
    if (!current.Path().isEmpty() && current.Path() == path && QFileInfo::exists(path) &&
        StillUsable(current))
        return {};
    current.Release();

    if (!QFileInfo(path).isFile())
        return base::Fail(u'[' + QDir::toNativeSeparators(path) + u']' + QStringLiteral("が存在しません。"));
    if (const base::Status connected = Connect(current, path); !connected) {
        QString reason = connected.ErrorText();
        if (reason.trimmed().isEmpty()) reason = QStringLiteral("cannot open the list database");
        current.Release();
        return base::Fail(u'[' + QDir::toNativeSeparators(path) + QStringLiteral("] ") + reason);
    }
    current.SetPath(path);
    KeepWalOpen(path);
    return {};
}

void CloseListDatabase()
{
    HoldState& state = Holds();
    if (state.holds > 0) {
        state.closeWaiting = true;
        return;
    }
    ThisThread().Release();
}

ListConnectionHold::ListConnectionHold()
{
    ++Holds().holds;
}

ListConnectionHold::~ListConnectionHold()
{
    HoldState& state = Holds();
    if (--state.holds > 0 || !state.closeWaiting) return;
    state.closeWaiting = false;
    ThisThread().Release();
}

SharedTransaction::SharedTransaction() : m_outer(t_shared)
{
    t_shared = this;
}

SharedTransaction::~SharedTransaction()
{
    (void)Commit();
    // An owner takes the lost writes after its own commits; these were never taken, so they are
    // at least not dropped unseen.
    for (const QString& line : m_lostWrites)
        qWarning("%s", qPrintable(line));
    t_shared = m_outer;
}

SharedTransaction* SharedTransaction::Current()
{
    return t_shared;
}

base::Result<bool> SharedTransaction::Join(const QSqlDatabase& db)
{
    const ThreadConnection& current = ThisThread();
    if (current.Path().isEmpty() || db.connectionName() != current.Name()) return false;
    if (!m_connection.isEmpty()) return true;
    if (base::Status begun = BeginWriteTransaction(db); !begun) return begun.Failure();
    m_connection = current.Name();
    return true;
}

void SharedTransaction::OnRollback(std::function<QString(const QString& reason)> step)
{
    m_onRollback.push_back(std::move(step));
}

base::Status SharedTransaction::Commit()
{
    const QString name = std::exchange(m_connection, QString());
    std::vector<std::function<QString(const QString&)>> steps;
    steps.swap(m_onRollback);
    if (name.isEmpty()) return {};
    const QSqlDatabase db = QSqlDatabase::database(name, false);
    QString error = QStringLiteral("the list database was closed before the commit");
    if (db.isOpen()) {
        const base::Status committed = RunCachedStatement(db, QStringLiteral("COMMIT"), {});
        if (committed) return committed;
        error = committed.ErrorText();
        QSqlQuery rollback(db);
        (void)rollback.exec(QStringLiteral("ROLLBACK"));
    }
    for (const auto& step : steps)
        m_lostWrites << step(error);
    return base::Fail(error);
}

QSqlDatabase ListConnection()
{
    const ThreadConnection& current = ThisThread();
    if (current.Path().isEmpty()) return {};
    return QSqlDatabase::database(current.Name(), false);
}

QSqlQuery* CachedStatement(const QSqlDatabase& db, const QString& sql)
{
    ThreadConnection& current = ThisThread();
    if (current.Path().isEmpty() || db.connectionName() != current.Name()) return nullptr;
    return current.Statement(db, sql);
}

void SetBusyTimeout(int milliseconds)
{
    g_busyTimeout.store(milliseconds);
}

} // namespace lw::store
