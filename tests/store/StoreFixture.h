#pragma once

// A program folder with a fresh list database from the template, settings pointing at it, and
// a second connection for looking at the database behind the code's back.

#include "config/SettingsRecord.h"
#include "engine/EngineTestUtil.h"
#include "support/TempHome.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <gtest/gtest.h>

#include <atomic>

namespace lw::test {

// An independent connection to one database file, removed with the object.
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
        for (const QVariant& value : values) query.addBindValue(value);
        if (!query.exec()) ADD_FAILURE() << query.lastError().text().toStdString() << " " << sql.toStdString();
        return query;
    }
    QList<QSqlRecord> Rows(const QString& sql, const QVariantList& values = {}) const
    {
        QSqlQuery query = Exec(sql, values);
        QList<QSqlRecord> rows;
        while (query.next()) rows << query.record();
        return rows;
    }
    QVariant Value(const QString& sql, const QVariantList& values = {}) const { return Rows(sql, values).value(0).value(0); }
    int Count(const QString& sql, const QVariantList& values = {}) const { return Value(sql, values).toInt(); }

private:
    QString m_name;
    static inline std::atomic<int> s_next{0};
};

class StoreFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFile::copy(TemplateDatabase(), DatabasePath())) << TemplateDatabase().toStdString();
        QFile(DatabasePath()).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        settings.programFolder = home.Folder();
        settings.listDatabaseName = QStringLiteral("list");
        settings.logBaseName = QStringLiteral("log");
        settings.saveFolderName = QStringLiteral("mail");
    }

    QString DatabasePath() const { return home.File(QStringLiteral("list.db")); }
    QStringList LogEntries() const { return test::LogEntries(settings.programFolder, settings.logBaseName); }

    TempHome home;
    config::SettingsRecord settings;
};

} // namespace lw::test
