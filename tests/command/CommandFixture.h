#pragma once

#include "config/InMemoryWorkingCopy.h"
#include "config/Settings.h"
#include "engine/EngineTestUtil.h"
#include "support/TempHome.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>
#include <QVariantMap>

#include <gtest/gtest.h>

namespace lw::test {

// A program folder with a list database made from the template, its settings file and a working
// copy loaded from it, as the service has them while it runs.
class CommandFixture : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFile::copy(TemplateDatabase(), home.File("list.db"))) << TemplateDatabase().toStdString();
        QFile::setPermissions(home.File("list.db"), QFile::ReadOwner | QFile::WriteOwner);
        copy.emplace(config::InMemoryWorkingCopy::FromSettingsFile(home.Folder()));
    }
    config::SettingsRecord Record() const { return config::TakeSettingsSnapshot(*copy); }

    // Runs sql on a connection of the test's own; every row as column → value.
    QList<QVariantMap> Rows(const QString& sql, const QVariantList& values = {})
    {
        QList<QVariantMap> rows;
        const QString name = QUuid::createUuid().toString();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(home.File("list.db"));
            EXPECT_TRUE(db.open());
            QSqlQuery query(db);
            query.prepare(sql);
            for (const QVariant& value : values) query.addBindValue(value);
            EXPECT_TRUE(query.exec()) << query.lastError().text().toStdString();
            for (QVariantMap row; query.next(); rows << row)
                for (int i = 0; i < query.record().count(); ++i) row[query.record().fieldName(i)] = query.value(i);
        }
        QSqlDatabase::removeDatabase(name);
        return rows;
    }
    // The rule row of an address; empty without one.
    QVariantMap Rule(const QString& address) { return Rows("SELECT * FROM tblList WHERE アドレス = ?", {address}).value(0); }
    qsizetype RuleCount() { return Rows(QStringLiteral("SELECT アドレス FROM tblList")).size(); }
    QByteArray SettingsFile() const
    {
        QFile file(home.File("larchwatcher.ini"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QStringList Log() const { return LogEntries(home.Folder()); }

    TempHome home;
    std::optional<config::InMemoryWorkingCopy> copy;
};

} // namespace lw::test
