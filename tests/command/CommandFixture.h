#pragma once

#include "config/InMemoryWorkingCopy.h"
#include "config/Settings.h"
#include "engine/mail/ActivityLog.h"
#include "support/TempHome.h"

#include <QDateTime>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <optional>

namespace lw::test {

// A program folder with a list database made from the template, its settings file and an
// in-memory working copy loaded from it, as the service has them while it runs.
class CommandFixture : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFile::copy(TemplateDatabase(), home.File("list.db"))) << TemplateDatabase().toStdString();
        QFile::setPermissions(home.File("list.db"), QFile::ReadOwner | QFile::WriteOwner);
        copy.emplace(config::InMemoryWorkingCopy::FromSettingsFile(home.Folder()));
    }

    config::SettingsRecord Record() const { return config::ReadFormSettings(*copy); }

    // Runs sql on a connection of the test's own; every row as column → value maps.
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
            while (query.next()) {
                QVariantMap row;
                for (int i = 0; i < query.record().count(); ++i) row[query.record().fieldName(i)] = query.value(i);
                rows << row;
            }
        }
        QSqlDatabase::removeDatabase(name);
        return rows;
    }
    void Sql(const QString& statement) { Rows(statement); }

    std::optional<QVariantMap> Rule(const QString& address)
    {
        const auto rows = Rows(QStringLiteral("SELECT * FROM tblList WHERE アドレス = ?"), {address});
        if (rows.isEmpty()) return std::nullopt;
        return rows.first();
    }

    int RuleCount() { return Rows(QStringLiteral("SELECT アドレス FROM tblList")).size(); }

    QByteArray SettingsFile() const
    {
        QFile file(home.File("larchwatcher.ini"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The activity-log entries of this month, without their time stamps.
    QStringList LogEntries() const
    {
        QFile file(mail::LogFilePath(home.Folder(), QStringLiteral("log"), QDateTime::currentDateTime()));
        if (!file.open(QIODevice::ReadOnly)) return {};
        QStringList entries;
        for (const QString& line : QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"))) {
            const qsizetype arrow = line.indexOf(QStringLiteral("==> "));
            if (arrow >= 0) entries << line.mid(arrow + 4).remove(u'\r');
        }
        return entries;
    }

    TempHome home;
    std::optional<config::InMemoryWorkingCopy> copy;
};

} // namespace lw::test
