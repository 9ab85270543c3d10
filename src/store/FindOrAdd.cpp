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

bool Execute(QSqlQuery& query, const QString& sql, const QVariantList& values, QString& error)
{
    if (!query.prepare(sql)) {
        error = ErrorText(query.lastError());
        return false;
    }
    for (const QVariant& value : values) query.addBindValue(value);
    if (!query.exec()) {
        error = ErrorText(query.lastError());
        return false;
    }
    return true;
}

QSqlQuery* ExecuteCachedStatement(const QSqlDatabase& db, QSqlQuery& local, const QString& sql,
                                  const QVariantList& values, QString& error)
{
    if (QSqlQuery* cached = CachedStatement(db, sql)) {
        for (qsizetype i = 0; i < values.size(); ++i)
            cached->bindValue(int(i), values[i]);
        if (cached->exec()) return cached;
        error = ErrorText(cached->lastError());
        cached->finish();
        return nullptr;
    }
    local.setForwardOnly(true);
    return Execute(local, sql, values, error) ? &local : nullptr;
}

bool RunCachedStatement(const QSqlDatabase& db, const QString& sql, const QVariantList& values,
                        QString& error)
{
    QSqlQuery local(db);
    QSqlQuery* query = ExecuteCachedStatement(db, local, sql, values, error);
    if (query == nullptr) return false;
    query->finish();
    return true;
}

bool FindOrAdd(const QSqlDatabase& db, const QString& table, const ColumnValues& keys,
               const ColumnValues& values, QString& error, bool* added)
{
    QStringList conditions;
    QVariantList keyValues;
    for (const ColumnValue& key : keys) {
        conditions << QuoteName(key.column) + QStringLiteral(" = ?");
        keyValues << key.value;
    }
    QSqlQuery local(db);
    QSqlQuery* query =
        ExecuteCachedStatement(db, local,
                               QStringLiteral("SELECT rowid FROM ") + QuoteName(table) + QStringLiteral(" WHERE ") +
                                   conditions.join(QStringLiteral(" AND ")) + QStringLiteral(" ORDER BY rowid LIMIT 1"),
                               keyValues, error);
    if (query == nullptr) return false;
    const bool found = query->next();
    const qint64 rowId = found ? query->value(0).toLongLong() : 0;
    query->finish();
    if (added) *added = !found;

    if (found) {
        if (values.isEmpty()) return true;
        QStringList assignments;
        QVariantList bound;
        for (const ColumnValue& value : values) {
            assignments << QuoteName(value.column) + QStringLiteral(" = ?");
            bound << value.value;
        }
        bound << rowId;
        return RunCachedStatement(db,
                       QStringLiteral("UPDATE ") + QuoteName(table) + QStringLiteral(" SET ") +
                           assignments.join(QStringLiteral(", ")) + QStringLiteral(" WHERE rowid = ?"),
                       bound, error);
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
                   bound, error);
}

TransactionGuard::~TransactionGuard()
{
    if (!m_active) return;
    QSqlQuery query(m_db);
    query.exec(QStringLiteral("ROLLBACK"));
}

bool TransactionGuard::Begin(QString& error)
{
    m_locked = false;
    if (!RunCachedStatement(m_db, QStringLiteral("BEGIN IMMEDIATE"), {}, error)) {
        // SQLite's own texts of SQLITE_BUSY and SQLITE_LOCKED.
        m_locked = error.contains(QStringLiteral("database is locked")) ||
                   error.contains(QStringLiteral("database table is locked"));
        return false;
    }
    m_active = true;
    return true;
}

bool TransactionGuard::Commit(QString& error)
{
    if (!m_active) {
        error = QStringLiteral("no transaction to commit");
        return false;
    }
    if (!RunCachedStatement(m_db, QStringLiteral("COMMIT"), {}, error)) return false;
    m_active = false;
    return true;
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
