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
    }

    QString DatabasePath() const { return home.File(QStringLiteral("list.db")); }
    Peek Db() const { return Peek(DatabasePath()); }
    QStringList LogEntries() const { return test::LogEntries(settings.programFolder, settings.logBaseName); }
    // A rule for the address: print, save, clear, log, reject, forward as six 0/1 digits, then the
    // forward lists To, Cc and Bcc.
    void AddRule(const QString& address, const char* flags, const QVariantList& lists = QVariantList(3, ""))
    {
        QVariantList values{address};
        for (int i = 0; i < 6; ++i) values << (flags[i] == '1' ? 1 : 0);
        Db().Exec(QStringLiteral("INSERT INTO tblList (アドレス, 印刷, メール保存, "
                                 "ボックスクリア, ログ出力, 受信拒否, メール転送, 転送先TO, "
                                 "転送先CC, 転送先BCC) VALUES (?,?,?,?,?,?,?,?,?,?)"),
                  values + lists);
    }

    TempHome home;
    config::SettingsRecord settings;
};

} // namespace lw::test
