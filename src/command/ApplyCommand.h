#pragma once

#include "base/Result.h"
#include "command/CommandParams.h"
#include "config/SettingsRecord.h"
#include "config/WorkingCopy.h"

#include <QString>

namespace lw::command {

// What carrying out a command did, part by part; a failed part does not stop the next one.
struct [[nodiscard]] AppliedCommand {
    base::Status settingsSave; // the save of all settings after the forwarding fields changed
    base::Status ruleChanges;  // the change of tblList; on failure the list is as it was
};

// Carries out an authenticated command: sets the forwarding fields of the working copy (they
// keep their new values whatever follows), saves all settings, then changes the sender rules in
// tblList (finding or adding each sender's row) in one transaction. Uses only the program
// folder and list database name of settings.
AppliedCommand ApplyCommand(const config::SettingsRecord& settings, const CommandParams& params,
                            config::WorkingCopy& copy);

} // namespace lw::command
