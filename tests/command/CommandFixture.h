#pragma once

#include "config/InMemoryWorkingCopy.h"
#include "config/Settings.h"
#include "store/StoreFixture.h"

#include <QVariantMap>

namespace lw::test {

// A program folder with a list database made from the template, its settings file and a working
// copy loaded from it, as the service has them while it runs.
class CommandFixture : public StoreFixture {
  protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        copy.emplace(config::InMemoryWorkingCopy::FromSettingsFile(home.Folder()));
    }
    config::SettingsRecord Record() const { return config::TakeSettingsSnapshot(*copy); }

    // Runs sql on a connection of the test's own; every row as column → value.
    QList<QVariantMap> Rows(const QString& sql, const QVariantList& values = {})
    {
        QList<QVariantMap> rows;
        for (const QSqlRecord& record : Peek(DatabasePath()).Rows(sql, values)) {
            QVariantMap& row = rows.emplace_back();
            for (int i = 0; i < record.count(); ++i) row[record.fieldName(i)] = record.value(i);
        }
        return rows;
    }
    // The rule row of an address; empty without one.
    QVariantMap Rule(const QString& address) { return Rows("SELECT * FROM tblList WHERE アドレス = ?", {address}).value(0); }
    qsizetype RuleCount() { return Rows(QStringLiteral("SELECT アドレス FROM tblList")).size(); }
    QByteArray SettingsFile() const { return ReadFile(home.File("larchwatcher.ini")); }

    std::optional<config::InMemoryWorkingCopy> copy;
};

} // namespace lw::test
