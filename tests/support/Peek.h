#pragma once

// An independent connection to a list database, for looking at it behind the code's back.

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <gtest/gtest.h>

#include <atomic>

namespace lw::test {

// One connection to one database file, removed with the object.
class Peek {
  public:
    explicit Peek(const QString& path) : m_name(QStringLiteral("peek_%1").arg(s_next.fetch_add(1)))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
    }
    ~Peek()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    Peek(const Peek&) = delete;
    Peek& operator=(const Peek&) = delete;

    QSqlDatabase Db() const { return QSqlDatabase::database(m_name, false); }

    // Runs sql with positional values; fails the test on an error.
    QSqlQuery Exec(const QString& sql, const QVariantList& values = {}) const
    {
        QSqlQuery query(Db());
        query.prepare(sql);
        for (const QVariant& value : values)
            query.addBindValue(value);
        if (!query.exec())
            ADD_FAILURE() << query.lastError().text().toStdString() << " " << sql.toStdString();
        return query;
    }
    QList<QSqlRecord> Rows(const QString& sql, const QVariantList& values = {}) const
    {
        QSqlQuery query = Exec(sql, values);
        QList<QSqlRecord> rows;
        while (query.next())
            rows << query.record();
        return rows;
    }
    // The first column of every row, as text.
    QStringList Column(const QString& sql, const QVariantList& values = {}) const
    {
        QStringList column;
        for (const QSqlRecord& row : Rows(sql, values))
            column << row.value(0).toString();
        return column;
    }
    QVariant Value(const QString& sql, const QVariantList& values = {}) const
    {
        return Rows(sql, values).value(0).value(0);
    }
    int Count(const QString& sql, const QVariantList& values = {}) const
    {
        return Value(sql, values).toInt();
    }

  private:
    QString m_name;
    static inline std::atomic<int> s_next{0};
};

} // namespace lw::test
