#pragma once

// A program folder with a fresh list database from the template and settings pointing at it.

#include "config/SettingsRecord.h"
#include "support/Messages.h"
#include "support/Peek.h"
#include "support/TempHome.h"

#include <QFile>

#include <gtest/gtest.h>

namespace lw::test {

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
