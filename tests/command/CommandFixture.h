#pragma once

#include "config/InMemoryWorkingCopy.h"
#include "config/Settings.h"
#include "store/StoreFixture.h"

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

    // The rule row of an address; empty without one.
    QSqlRecord Rule(const QString& address) const
    {
        return Db().Rows("SELECT * FROM tblList WHERE アドレス = ?", {address}).value(0);
    }
    int RuleCount() const { return Db().Count("SELECT count(*) FROM tblList"); }
    QByteArray SettingsFile() const { return ReadFile(home.File("larchwatcher.ini")); }

    std::optional<config::InMemoryWorkingCopy> copy;
};

} // namespace lw::test
