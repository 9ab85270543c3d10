#include "store/FindOrAdd.h"

#include "store/ListDatabase.h"

#include <QSqlError>
#include <QStringList>

namespace lw::store {

namespace {

QString ErrorText(const QSqlError& error)
{
    const QString text = error.text().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown database error") : text;
}

} // namespace

QString QuoteName(const QString& name)
{
    QString quoted = name;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

base::Status Execute(QSqlQuery& query, const QString& sql, const QVariantList& values)
{
    if (!query.prepare(sql)) return base::Fail(ErrorText(query.lastError()));
    for (const QVariant& value : values) query.addBindValue(value);
    if (!query.exec()) return base::Fail(ErrorText(query.lastError()));
    return {};
}

base::Result<QSqlQuery*> ExecuteCachedStatement(const QSqlDatabase& db, QSqlQuery& local, const QString& sql,
                                                const QVariantList& values)
{
    if (QSqlQuery* cached = CachedStatement(db, sql)) {
        for (qsizetype i = 0; i < values.size(); ++i)
            cached->bindValue(int(i), values[i]);
        if (cached->exec()) return cached;
        const QString error = ErrorText(cached->lastError());
        cached->finish();
        return base::Fail(error);
    }
    local.setForwardOnly(true);
    if (const base::Status run = Execute(local, sql, values); !run) return run.Failure();
    return &local;
}

base::Status RunCachedStatement(const QSqlDatabase& db, const QString& sql, const QVariantList& values)
{
    QSqlQuery local(db);
    const base::Result<QSqlQuery*> query = ExecuteCachedStatement(db, local, sql, values);
    if (!query) return query.Failure();
    (*query)->finish();
    return {};
}

base::Status BeginWriteTransaction(const QSqlDatabase& db)
{
    base::Status begun = RunCachedStatement(db, QStringLiteral("BEGIN IMMEDIATE"), {});
    if (begun) return begun;
    const QString& error = begun.ErrorText();
    // SQLite's own texts of SQLITE_BUSY and SQLITE_LOCKED.
    if (error.contains(QStringLiteral("database is locked")) ||
        error.contains(QStringLiteral("database table is locked")))
        return base::Error{error, base::Error::Kind::Busy};
    return begun;
}

base::Result<std::optional<QVariant>> QueryOneValue(const QSqlDatabase& db, const QString& sql,
                                                    const QVariantList& values)
{
    QSqlQuery local(db);
    const base::Result<QSqlQuery*> query = ExecuteCachedStatement(db, local, sql, values);
    if (!query) return query.Failure();
    std::optional<QVariant> value;
    if ((*query)->next()) value = (*query)->value(0);
    (*query)->finish();
    return value;
}

base::Status FindOrAdd(const QSqlDatabase& db, const QString& table, const ColumnValues& keys,
                       const ColumnValues& values, bool* added)
{
    QStringList conditions;
    QVariantList keyValues;
    for (const ColumnValue& key : keys) {
        conditions << QuoteName(key.column) + QStringLiteral(" = ?");
        keyValues << key.value;
    }
    const base::Result<std::optional<QVariant>> row =
        QueryOneValue(db,
                      QStringLiteral("SELECT rowid FROM ") + QuoteName(table) + QStringLiteral(" WHERE ") +
                          conditions.join(QStringLiteral(" AND ")) + QStringLiteral(" ORDER BY rowid LIMIT 1"),
                      keyValues);
    if (!row) return row.Failure();
    const bool found = row->has_value();
    if (added) *added = !found;

    if (found) {
        if (values.isEmpty()) return {};
        QStringList assignments;
        QVariantList bound;
        for (const ColumnValue& value : values) {
            assignments << QuoteName(value.column) + QStringLiteral(" = ?");
            bound << value.value;
        }
        bound << (*row)->toLongLong();
        return RunCachedStatement(db,
                                  QStringLiteral("UPDATE ") + QuoteName(table) + QStringLiteral(" SET ") +
                                      assignments.join(QStringLiteral(", ")) + QStringLiteral(" WHERE rowid = ?"),
                                  bound);
    }

    QStringList columns;
    QStringList marks;
    QVariantList bound;
    for (const ColumnValues* list : {&keys, &values}) {
        for (const ColumnValue& value : *list) {
            columns << QuoteName(value.column);
            marks << QStringLiteral("?");
            bound << value.value;
        }
    }
    return RunCachedStatement(db,
                              QStringLiteral("INSERT INTO ") + QuoteName(table) + QStringLiteral(" (") +
                                  columns.join(QStringLiteral(", ")) + QStringLiteral(") VALUES (") +
                                  marks.join(QStringLiteral(", ")) + QStringLiteral(")"),
                              bound);
}

TransactionGuard::~TransactionGuard()
{
    if (!m_active) return;
    QSqlQuery query(m_db);
    if (!m_savepoint) {
        query.exec(QStringLiteral("ROLLBACK"));
        return;
    }
    // Undoes this guard's writes only; the savepoint itself must go too.
    query.exec(QStringLiteral("ROLLBACK TO lw_guard"));
    query.exec(QStringLiteral("RELEASE lw_guard"));
}

base::Status TransactionGuard::Begin()
{
    m_savepoint = false;
    if (SharedTransaction* shared = SharedTransaction::Current()) {
        const base::Result<bool> joined = shared->Join(m_db);
        if (!joined) return joined.Failure();
        if (*joined) {
            if (base::Status saved = RunCachedStatement(m_db, QStringLiteral("SAVEPOINT lw_guard"), {}); !saved)
                return saved;
            m_active = m_savepoint = true;
            return {};
        }
    }
    if (base::Status begun = BeginWriteTransaction(m_db); !begun) return begun;
    m_active = true;
    return {};
}

base::Status TransactionGuard::Commit()
{
    if (!m_active) return base::Fail(QStringLiteral("no transaction to commit"));
    if (base::Status committed =
            RunCachedStatement(m_db, m_savepoint ? QStringLiteral("RELEASE lw_guard") : QStringLiteral("COMMIT"), {});
        !committed)
        return committed;
    m_active = false;
    return {};
}

QString ReadText(const QVariant& value)
{
    if (value.isNull()) return QStringLiteral("");
    return value.toString();
}

QString ReadText(const QSqlQuery& query, const QString& column)
{
    return ReadText(query.value(column));
}

bool ReadFlag(const QSqlQuery& query, const QString& column)
{
    const QVariant value = query.value(column);
    return !value.isNull() && value.toLongLong() != 0;
}

QString ToStoredDateTime(const QDateTime& moment)
{
    return moment.toLocalTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

QDateTime FromStoredDateTime(const QString& text)
{
    if (text.isEmpty()) return {};
    return QDateTime::fromString(text, QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

} // namespace lw::store
