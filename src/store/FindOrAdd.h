#pragma once

#include "base/Result.h"

#include <QDateTime>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

#include <optional>

namespace lw::store {

// One column name with the value to compare or write.
struct ColumnValue {
    QString column;
    QVariant value;
};
using ColumnValues = QList<ColumnValue>;

// The find-or-add row idiom every writer uses: finds the first row (lowest rowid) whose key
// columns equal keys under the columns' own collation, or adds a row holding only the keys;
// then writes values on that row. Keys are written only when the row is added. added, when
// given, tells which happened. Table and column names are fixed by the caller; values are bound.
base::Status FindOrAdd(const QSqlDatabase& db, const QString& table, const ColumnValues& keys,
                       const ColumnValues& values, bool* added = nullptr);

// A write transaction that rolls back unless Commit succeeded. BEGIN IMMEDIATE takes the write
// lock at once, so two connections doing find-or-add cannot both add the same key. Inside a
// SharedTransaction (ListDatabase.h) it is a savepoint of that one instead.
class TransactionGuard {
public:
    explicit TransactionGuard(QSqlDatabase db) : m_db(std::move(db)) {}
    ~TransactionGuard();
    TransactionGuard(const TransactionGuard&) = delete;
    TransactionGuard& operator=(const TransactionGuard&) = delete;

    // Starts the transaction. Busy when another connection held the lock past the busy
    // time-out, failed when the database is unusable.
    base::Status Begin();
    // Commits; on failure the destructor rolls back.
    base::Status Commit();
    // The writes are part of the calling thread's SharedTransaction: durable only at its commit.
    bool Shared() const { return m_savepoint; }

private:
    QSqlDatabase m_db;
    bool m_active = false;
    bool m_savepoint = false;
};

// Runs one parameterised statement; the database's reason when it fails.
base::Status Execute(QSqlQuery& query, const QString& sql, const QVariantList& values);

// Runs sql on the statement the calling thread's open connection keeps for it (prepared once for
// the connection's life), or prepared anew on local (forward only) for any other connection. The
// query that holds the result (never null), or the reason. The caller finishes it after reading,
// so that no statement stays active between calls.
base::Result<QSqlQuery*> ExecuteCachedStatement(const QSqlDatabase& db, QSqlQuery& local, const QString& sql,
                                                const QVariantList& values);
// ExecuteCachedStatement for a statement whose rows are not read (a write, BEGIN, COMMIT).
base::Status RunCachedStatement(const QSqlDatabase& db, const QString& sql, const QVariantList& values);
// BEGIN IMMEDIATE on db; Busy when another connection held the write lock past the busy time-out.
base::Status BeginWriteTransaction(const QSqlDatabase& db);
// The first column of the first row of a query that names at most one value: nothing when it
// has no row, the reason when it fails.
base::Result<std::optional<QVariant>> QueryOneValue(const QSqlDatabase& db, const QString& sql,
                                                    const QVariantList& values);

// Null reading rule: a null column value reads as the empty text.
QString ReadText(const QSqlQuery& query, const QString& column);
QString ReadText(const QVariant& value);

// A yes/no column read as a boolean: zero or null is false, anything else true.
bool ReadFlag(const QSqlQuery& query, const QString& column);

// 受信日 text form, local time "yyyy-MM-ddTHH:mm:ss", so that text order is time order.
QString ToStoredDateTime(const QDateTime& moment);
// Reads the 受信日 text form back; invalid for null or malformed text.
QDateTime FromStoredDateTime(const QString& text);

// An identifier quoted for SQL text (table and column names only, never values).
QString QuoteName(const QString& name);

} // namespace lw::store
